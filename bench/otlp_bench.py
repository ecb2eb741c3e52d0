#!/usr/bin/env python3
"""Events in OpenTelemetry's log protocol end to end: the real agent, every
line an event, posted to our own receiver (tools/otlp_receiver,
qor-otlp-receiver) on loopback.

Usage: bench/otlp_bench.py BUILD_DIR [--query Q] [--lines N] [--runs R]

One situation takes every line; the agent's only event output is
otlp+http://127.0.0.1:PORT/v1/logs followed by Q (e.g. "?compression=none",
"?encoding=json"; default: protobuf, gzip). N syslog lines (1,000,000 by
default) are appended as fast as they can be written; the run ends when PING
counts every event acknowledged (a 2xx answer). Prints, per run, events per
second from the first write to the last acknowledgement, the agent's CPU
seconds (utime + stime from /proc/PID/stat) per million events and, apart,
the receiver's; then the best rate and the median CPU costs of the R runs
(3 by default), each with a fresh agent and receiver. The receiver's record
count is checked against N. After each run the same agent and lines with a
file as the only event output run beside it (what the agent costs before any
sending), and the ratios are printed.
BENCH_WRAPPER (e.g. "perf record -g") in the environment wraps the agent.
Goal: >= 500,000 events/s and <= 1.0 agent CPU-s per million events.
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


def receiver_records(stats, name="records"):
    try:
        with open(stats) as f:
            return dict((k, int(v)) for k, v in (l.split() for l in f)).get(name, 0)
    except (OSError, ValueError):
        return 0


def run(build, text, lines, query):
    with tempfile.TemporaryDirectory(prefix="otlp-bench-") as tmp:
        port = agent_control.free_port()
        stats = os.path.join(tmp, "receiver.stats")
        receiver = subprocess.Popen(
            [os.path.join(build, "tools", "otlp_receiver", "qor-otlp-receiver"),
             "--listen", f"127.0.0.1:{port}", "--stats", stats],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        agent = None
        try:
            deadline = time.monotonic() + 10
            while not os.path.exists(stats) and time.monotonic() < deadline:
                time.sleep(0.05)
            agent, sock, log = agent_control.start_agent(
                build, tmp, f"otlp+http://127.0.0.1:{port}{query}",
                'all VXLOGENT ENTRYDESC ~ "request"')
            pid = agent_control.agent_pid(agent)
            base, _ = agent_control.acknowledged(sock)
            base_records = receiver_records(stats)
            base_requests = receiver_records(stats, "requests")
            base_bytes = receiver_records(stats, "bytes")
            hz = os.sysconf("SC_CLK_TCK")
            c0, r0, t0 = agent_control.cpu_ticks(pid), agent_control.cpu_ticks(receiver.pid), time.monotonic()
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
            c1, r1 = agent_control.cpu_ticks(pid), agent_control.cpu_ticks(receiver.pid)
            if done is None:
                sys.exit(f"only {got - base} of {lines} events acknowledged")
            rate = lines / (done - t0)
            cpu = (c1 - c0) / hz / (lines / 1e6)
            rcpu = (r1 - r0) / hz / (lines / 1e6)
            # The receiver rewrites its counts every 0.1 s.
            wait = time.monotonic() + 5
            while receiver_records(stats) - base_records < lines and time.monotonic() < wait:
                time.sleep(0.05)
            records = receiver_records(stats) - base_records
            requests = max(1, receiver_records(stats, "requests") - base_requests)
            received = receiver_records(stats, "bytes") - base_bytes
            print(f"{lines} events: {rate / 1000:.0f}k events/s end to end, agent "
                  f"{cpu:.2f} CPU-s per million events, receiver {rcpu:.2f} apart "
                  f"({failed} rejected, receiver counted {records} in "
                  f"{requests} requests, {received / lines:.1f} bytes per event)", flush=True)
            if records < lines:
                sys.exit("the receiver did not count every event")
        finally:
            # Whatever failed, nothing is left running.
            if agent is not None:
                os.kill(agent_control.agent_pid(agent), signal.SIGTERM)
                agent.wait(timeout=120)
            receiver.terminate()
            receiver.wait(timeout=60)
    return rate, cpu, rcpu


def run_file_sink(build, text, lines):
    """The same agent and lines with a file as its only event output: what
    the agent costs before any OTLP sending, the figure the sink's adds to."""
    with tempfile.TemporaryDirectory(prefix="otlp-bench-file-") as tmp:
        events = os.path.join(tmp, "events.jsonl")
        agent, _, log = agent_control.start_agent(
            build, tmp, events, 'all VXLOGENT ENTRYDESC ~ "request"', wrapped=False)
        try:
            hz = os.sysconf("SC_CLK_TCK")
            c0, t0 = agent_control.cpu_ticks(agent.pid), time.monotonic()
            with open(log, "ab", buffering=0) as f:
                for at in range(0, len(text), 1 << 20):
                    f.write(text[at:at + (1 << 20)])
            done = None
            while time.monotonic() - t0 < 600:
                try:
                    with open(events, "rb") as f:
                        n = f.read().count(b"\n")
                except OSError:
                    n = 0
                if n >= lines:
                    done = time.monotonic()
                    break
                time.sleep(0.1)
            c1 = agent_control.cpu_ticks(agent.pid)
            if done is None:
                sys.exit("the file sink did not get every event")
        finally:
            agent.terminate()
            agent.wait(timeout=120)
    rate = lines / (done - t0)
    cpu = (c1 - c0) / hz / (lines / 1e6)
    print(f"file sink: {rate / 1000:.0f}k events/s, agent {cpu:.2f} CPU-s per million "
          f"events", flush=True)
    return rate, cpu


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--query", default="")
    ap.add_argument("--lines", type=int, default=1_000_000)
    ap.add_argument("--runs", type=int, default=3)
    a = ap.parse_args()
    text = agent_control.bulk_text(a.lines)
    results = []
    files = []
    for _ in range(a.runs):
        results.append(run(a.build, text, a.lines, a.query))
        files.append(run_file_sink(a.build, text, a.lines))
    best = max(r for r, _, _ in results)
    cpu = statistics.median(c for _, c, _ in results)
    file_best = max(r for r, _ in files)
    file_cpu = statistics.median(c for _, c in files)
    print(f"best {best / 1000:.0f}k events/s, median {cpu:.2f} agent CPU-s and "
          f"{statistics.median(c for _, _, c in results):.2f} receiver CPU-s "
          f"per million events")
    print(f"file sink beside it: best {file_best / 1000:.0f}k events/s, median "
          f"{file_cpu:.2f} CPU-s per million; OTLP/file: {best / file_best:.2f}x "
          f"the rate, {cpu / file_cpu:.2f}x the CPU")


if __name__ == "__main__":
    main()
