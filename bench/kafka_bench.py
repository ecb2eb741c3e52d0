#!/usr/bin/env python3
"""Events to Kafka end to end: the real agent, every line an event, sent to
librdkafka's mock cluster (tests/support/kafka_mock, a program of its own).

Usage: bench/kafka_bench.py BUILD_DIR [kafka] [--lines N] [--runs R]
                            [--brokers B] [--partitions P]

kafka: one situation takes every line; the agent's only event output is
       kafka://BROKERS/qev (acks=all, the idempotent producer). N syslog
       lines (1,000,000 by default) are appended as fast as they can be
       written; the run ends when PING counts every event acknowledged.
       Prints, per run, events per second from the first write to the last
       acknowledgement and the agent's CPU seconds (utime + stime from
       /proc/PID/stat) per million events, then the best rate and the median
       CPU cost of the R runs (3 by default), each with a fresh agent and
       cluster. The topic is then read back once and its message count
       checked.
HOV_KAFKA_PROPERTIES and BENCH_WRAPPER (e.g. "perf record -g") in the
environment are passed on to the agent.
Goal: >= 300,000 events/s and < 1.5 CPU-s per million events.
"""
import argparse
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import agent_control


class Mock:
    """The mock cluster: its bootstrap servers, commands on its input."""

    def __init__(self, build, brokers, partitions):
        self.p = subprocess.Popen(
            [os.path.join(build, "tests", "support", "kafka_mock"), str(brokers), "qev",
             str(partitions)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.bootstraps = self.p.stdout.readline().strip()
        if not self.bootstraps:
            sys.exit("kafka_mock did not start")

    def ask(self, command):
        self.p.stdin.write(command + "\n")
        self.p.stdin.flush()
        return self.p.stdout.readline().strip()

    def close(self):
        self.p.stdin.close()
        self.p.wait(timeout=60)


def run(build, text, lines, brokers, partitions, check):
    mock = Mock(build, brokers, partitions)
    with tempfile.TemporaryDirectory(prefix="kafka-bench-") as tmp:
        agent, sock, log = agent_control.start_agent(
            build, tmp, f"kafka://{mock.bootstraps}/qev", 'all VXLOGENT ENTRYDESC ~ "request"')
        try:
            pid = agent_control.agent_pid(agent)
            base, _ = agent_control.acknowledged(sock)
            hz = os.sysconf("SC_CLK_TCK")
            c0, t0 = agent_control.cpu_ticks(pid), time.monotonic()
            with open(log, "ab", buffering=0) as f:
                for at in range(0, len(text), 1 << 20):
                    f.write(text[at:at + (1 << 20)])
            done, got, failed = None, 0, 0
            while time.monotonic() - t0 < 600:
                got, failed = agent_control.acknowledged(sock)
                if got - base >= lines:
                    done = time.monotonic()
                    break
                time.sleep(0.05)
            c1 = agent_control.cpu_ticks(pid)
            if done is None:
                sys.exit(f"only {got - base} of {lines} events acknowledged")
            rate = lines / (done - t0)
            cpu = (c1 - c0) / hz / (lines / 1e6)
            print(f"{lines} events: {rate / 1000:.0f}k events/s end to end, agent "
                  f"{cpu:.2f} CPU-s per million events ({failed} delivery failures)",
                  flush=True)
            if check:
                count = mock.ask("count")
                print(f"topic read back: {count}")
                if count != f"count {lines + base}":
                    sys.exit("the topic does not hold every event")
        finally:
            # The agent itself: a wrapper (perf stat) may not pass the signal on.
            os.kill(agent_control.agent_pid(agent), signal.SIGTERM)
            agent.wait(timeout=120)
            mock.close()
    return rate, cpu


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("mode", nargs="?", default="kafka", choices=["kafka"])
    ap.add_argument("--lines", type=int, default=1_000_000)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--brokers", type=int, default=1)
    ap.add_argument("--partitions", type=int, default=1)
    a = ap.parse_args()
    text = agent_control.bulk_text(a.lines)
    results = [run(a.build, text, a.lines, a.brokers, a.partitions, i == 0)
               for i in range(a.runs)]
    print(f"best {max(r for r, _ in results) / 1000:.0f}k events/s, median "
          f"{statistics.median(c for _, c in results):.2f} CPU-s per million events")


if __name__ == "__main__":
    main()
