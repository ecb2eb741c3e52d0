#!/usr/bin/env python3
"""Acknowledged delivery to JetStream end to end: the real agent, a real nats-server.

Usage: bench/delivery_bench.py BUILD_DIR jetstream [--lines N] [--runs R] [--no-ceiling]
       bench/delivery_bench.py BUILD_DIR outage [--seconds S] [--rate L]

Each run starts nats-server (JetStream, its store and the agent's files in a
temporary directory, a free loopback port, its monitoring port for the
stream's message count) and one agent watching one syslog file, every line of
which is an event of its one situation, sent to nats://127.0.0.1:PORT/bench
with HOV_NATS_STREAM=BENCH (the agent creates the stream). Everything it
starts is stopped at the end.

jetstream  N lines (1,000,000) appended as fast as they can be written; the
           events per second from the first write until the agent's fleet sink
           counts every event acknowledged (PING), and the agent's CPU
           seconds (utime + stime) per million events. R runs (3); prints each,
           the best and the median. Goal: 300,000 events/s, under 1.5 CPU-s per
           million. After each run, unless --no-ceiling, a bare publisher
           (tests/support/jetstream_ceiling, no agent) sends as many messages
           of the same size to a fresh server the same way: what one
           connection gets from nats-server on this machine at all.
outage     L numbered lines a second (20,000) appended steadily for S seconds
           (90); nats-server is stopped for the middle two thirds (60 s of 90)
           and started again. The agent's VmRSS is sampled every second; prints
           the peak (goal: under 64 MiB), then reads the stream back with
           `qorctl events --from URL --json` and checks that every number
           arrived (duplicates counted, none lost).

BENCH_WRAPPER (environment): a command the agent runs under, e.g.
"perf record -g -o /tmp/perf.data".
"""
import argparse
import json
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

import agent_control

NATS_SERVER = "/usr/sbin/nats-server"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait(pred, seconds, step=0.1):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(step)
    return False


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


class Nats:
    """nats-server with JetStream on loopback, its store under `tmp`."""

    def __init__(self, tmp):
        self.tmp, self.port, self.mon = tmp, free_port(), free_port()
        self.p = None
        self.start()

    def start(self):
        self.p = subprocess.Popen(
            [NATS_SERVER, "-a", "127.0.0.1", "-p", str(self.port), "-m", str(self.mon),
             "-js", "-sd", os.path.join(self.tmp, "js"),
             "-l", os.path.join(self.tmp, "nats.log")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait(self.accepts, 30):
            sys.exit("nats-server does not start")

    def accepts(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                return True
        except OSError:
            return False

    def stop(self):
        if self.p is not None:
            self.p.terminate()
            self.p.wait(timeout=60)
            self.p = None

    def url(self):
        return f"nats://127.0.0.1:{self.port}/bench"

    def messages(self, stream="BENCH"):
        """The stream's message count; -1 when the server cannot say."""
        return self.state(stream).get("messages", -1)

    def state(self, stream="BENCH"):
        """The stream's state (messages, bytes); {"messages": 0} when it is
        not there, {} when the server cannot say."""
        try:
            with urllib.request.urlopen(
                    f"http://127.0.0.1:{self.mon}/jsz?streams=true", timeout=5) as r:
                j = json.load(r)
        except (OSError, ValueError):
            return {}
        for acc in j.get("account_details") or []:
            for s in acc.get("stream_detail") or []:
                if s.get("name") == stream:
                    return s.get("state", {})
        return {"messages": 0}


class Agent:
    """qoragent on one syslog file, every line an event to `url`."""

    def __init__(self, build, tmp, url, extra_env=None):
        self.ctl = os.path.join(build, "tools", "qorctl")
        self.log = os.path.join(tmp, "bench0")
        self.sock = os.path.join(tmp, "agent.sock")
        open(self.log, "w").close()
        conf = os.path.join(tmp, "agent.conf")
        with open(conf, "w") as f:
            f.write(self.log + " ;N ;S\n")
        with open(os.path.join(tmp, "situations"), "w") as f:
            f.write('all VXLOGENT LOGNAME == "bench0"\n')
        env = dict(os.environ)
        env.pop("JOP_WEX1", None)
        env.update({
            "HOV_EVENTS": url,
            "HOV_NATS_STREAM": "BENCH",
            "HOV_TRACE_FILE": os.path.join(tmp, "trace.log"),
            "HOV_SOCKET": self.sock,
            "HOV_SITUATIONS": os.path.join(tmp, "situations"),
            "TVX_SYSLOG_CONF": os.path.join(tmp, "none.conf"),
            "TVX_CONFIG_FILE": conf,
            "TVX_STATE_FILE": os.path.join(tmp, "state"),
            "HOV_SYSTEM_NAME": "bench:TVX",
        })
        env.update(extra_env or {})
        wrapper = os.environ.get("BENCH_WRAPPER", "").split()
        self.p = subprocess.Popen(wrapper + [os.path.join(build, "agent", "qoragent")],
                                  env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.pid = self.p.pid
        if wrapper:  # the agent is the wrapper's child
            wait(lambda: self.child() is not None, 30)
            self.pid = self.child() or self.pid

        def running():
            r = subprocess.run([self.ctl, "--socket", self.sock, "--json", "logs"],
                               capture_output=True, text=True)
            return r.returncode == 0 and '"Running"' in r.stdout
        if not wait(running, 60, 0.2):
            self.stop()
            sys.exit("the agent does not start; see " + os.path.join(tmp, "trace.log"))
        time.sleep(1)  # its worker into its wait

    def child(self):
        try:
            with open(f"/proc/{self.p.pid}/task/{self.p.pid}/children") as f:
                kids = f.read().split()
            return int(kids[0]) if kids else None
        except OSError:
            return None

    def sink(self):
        """The fleet sink's counts from the agent's PING (empty when none)."""
        return agent_control.fleet_sink(self.sock)

    def stop(self):
        if self.p.poll() is None:
            # The agent itself, so that a wrapper (perf) ends with it.
            os.kill(self.pid, signal.SIGTERM)
            try:
                self.p.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.p.kill()
                self.p.wait()


def line(stamp, k):
    return f"{stamp} benchhost app[{k % 100000}]: request {k} done in 12 ms\n"


def jetstream_run(build, lines):
    tmp = tempfile.mkdtemp(prefix="delivery_bench.")
    nats = agent = None
    try:
        nats = Nats(tmp)
        agent = Agent(build, tmp, nats.url())
        stamp = time.strftime("%b %e %H:%M:%S")
        text = "".join(line(stamp, k) for k in range(lines)).encode()
        wait(lambda: nats.messages() == 0, 30)  # the stream is there
        c0, t0 = cpu_seconds(agent.pid), time.monotonic()
        with open(agent.log, "ab", buffering=0) as f:
            for at in range(0, len(text), 1 << 20):
                f.write(text[at:at + (1 << 20)])
        written = time.monotonic() - t0
        done = wait(lambda: agent.sink().get("acknowledged", 0) >= lines, 600, 0.05)
        secs, cpu = time.monotonic() - t0, cpu_seconds(agent.pid) - c0
        state = nats.state()
        stored = state.get("messages", -1)
        # What the store keeps of a message beyond its line: its subject
        # ("bench.benchhost") and a fixed record of 30 bytes.
        size = state.get("bytes", 0) // max(stored, 1) - 30 - len("bench.benchhost")
        if not done:
            sys.exit(f"only {agent.sink().get('acknowledged')} of {lines} events acknowledged")
        rate = lines / secs
        print(f"{lines} events: {rate / 1000:.0f}k events/s end to end "
              f"(written in {written:.1f} s, all acknowledged after {secs:.1f} s), "
              f"agent {cpu / (lines / 1e6):.2f} CPU-s per million events, "
              f"{stored} messages in the stream", flush=True)
        return rate, cpu / (lines / 1e6), size
    finally:
        if agent:
            agent.stop()
        if nats:
            nats.stop()
        shutil.rmtree(tmp, ignore_errors=True)


def ceiling_run(build, lines, size):
    """The same number of messages of the same size from a bare publisher
    (no agent) to the same kind of stream: what one connection gets from
    nats-server on this machine."""
    tmp = tempfile.mkdtemp(prefix="delivery_bench.")
    nats = None
    try:
        nats = Nats(tmp)
        r = subprocess.run(
            [os.path.join(build, "tests", "support", "jetstream_ceiling"),
             f"nats://127.0.0.1:{nats.port}", "BENCH", "bench", str(lines), str(size),
             "10000"], capture_output=True, text=True)
        if r.returncode != 0:
            sys.exit("jetstream_ceiling failed: " + r.stderr.strip())
        m = re.search(r"([0-9]+)k acknowledged/s", r.stdout)
        print("  bare publisher: " + r.stdout.strip(), flush=True)
        return int(m.group(1)) * 1000
    finally:
        if nats:
            nats.stop()
        shutil.rmtree(tmp, ignore_errors=True)


def outage(build, seconds, rate):
    tmp = tempfile.mkdtemp(prefix="delivery_bench.")
    nats = agent = None
    try:
        nats = Nats(tmp)
        agent = Agent(build, tmp, nats.url())
        wait(lambda: nats.messages() == 0, 30)
        down_at, up_at = seconds / 6, seconds * 5 / 6
        peak, samples, k = 0, [], 0
        t0 = time.monotonic()
        next_sample = t0
        status = ""
        with open(agent.log, "ab", buffering=0) as f:
            while True:
                now = time.monotonic() - t0
                if now >= seconds:
                    break
                if nats.p is not None and down_at <= now < up_at:
                    nats.stop()
                    print(f"{now:5.1f} s: nats-server stopped", flush=True)
                elif nats.p is None and now >= up_at:
                    nats.start()
                    print(f"{now:5.1f} s: nats-server started again", flush=True)
                want = int(now * rate)
                if want > k:
                    stamp = time.strftime("%b %e %H:%M:%S")
                    f.write("".join(line(stamp, i) for i in range(k, want)).encode())
                    k = want
                if time.monotonic() >= next_sample:
                    rss = rss_kib(agent.pid)
                    peak = max(peak, rss)
                    samples.append(rss)
                    next_sample += 1
                    if len(samples) % 10 == 0:
                        s = agent.sink()
                        print(f"{now:5.1f} s: {k} lines, RSS {rss / 1024:.1f} MiB, "
                              f"{s.get('acknowledged')} acknowledged, "
                              f"{s.get('pending')} pending", flush=True)
                time.sleep(0.01)
        total = k
        print(f"{total} lines written in {seconds} s; waiting for every acknowledgement",
              flush=True)

        def settled():
            nonlocal peak
            peak = max(peak, rss_kib(agent.pid))
            return agent.sink().get("acknowledged", 0) >= total and \
                nats.messages() >= total
        done = wait(settled, 300, 0.5)
        print(f"peak RSS {peak / 1024:.1f} MiB (goal under 64 MiB); "
              f"{agent.sink().get('acknowledged')} acknowledged, {nats.messages()} "
              f"messages in the stream{'' if done else ' (NOT ALL)'}", flush=True)
        # Read the stream back and check every number.
        seen = bytearray(total)
        dup = extra = 0
        number = re.compile(rb'request ([0-9]+) done')
        r = subprocess.Popen([agent.ctl, "events", "--from", nats.url(), "--json",
                              "--since", "-1d", "--idle", "5"],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        read = 0
        for ev in r.stdout:
            read += 1
            m = number.search(ev)
            if m is None or int(m.group(1)) >= total:
                extra += 1
                continue
            n = int(m.group(1))
            if seen[n]:
                dup += 1
            seen[n] = 1
        r.wait()
        missing = total - sum(seen)
        print(f"read back {read} events: {total - missing} of {total} numbers, "
              f"{missing} missing, {dup} duplicates, {extra} others; "
              f"{'NONE LOST' if missing == 0 else 'LOST EVENTS'}", flush=True)
        return missing == 0 and peak < 64 * 1024
    finally:
        if agent:
            agent.stop()
        if nats:
            nats.stop()
        shutil.rmtree(tmp, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("mode", choices=["jetstream", "outage"])
    ap.add_argument("--lines", type=int, default=1_000_000)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--seconds", type=int, default=90)
    ap.add_argument("--rate", type=int, default=20_000)
    ap.add_argument("--no-ceiling", action="store_true",
                    help="jetstream: skip the bare publisher's runs")
    a = ap.parse_args()
    if not os.access(NATS_SERVER, os.X_OK):
        sys.exit("nats-server is not installed")
    if a.mode == "jetstream":
        runs, bare = [], []
        for _ in range(a.runs):
            runs.append(jetstream_run(a.build, a.lines))
            if not a.no_ceiling:
                bare.append(ceiling_run(a.build, a.lines, runs[-1][2]))
        rates = [r for r, _, _ in runs]
        cpus = [c for _, c, _ in runs]
        print(f"best {max(rates) / 1000:.0f}k events/s, median "
              f"{statistics.median(rates) / 1000:.0f}k events/s (goal 300k); CPU-s per "
              f"million events: best {min(cpus):.2f}, median {statistics.median(cpus):.2f} "
              f"(goal under 1.5)")
        if bare:
            print(f"bare publisher (no agent, same messages): median "
                  f"{statistics.median(bare) / 1000:.0f}k messages/s")
    else:
        sys.exit(0 if outage(a.build, a.seconds, a.rate) else 1)


if __name__ == "__main__":
    main()
