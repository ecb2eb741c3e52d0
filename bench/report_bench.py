#!/usr/bin/env python3
"""Reports end to end: `qorctl --json entries` on a large syslog file.

Usage: bench/report_bench.py BUILD_DIR [SIZE_MB] [--runs N] [--keep DIR]
       bench/report_bench.py BUILD_DIR [SIZE_MB] --rotated [--runs N]

Writes SIZE_MB (200 by default) of syslog lines ending now, about eleven a
second, so that the last hour holds about 40k entries and the last minute
about 660; starts the agent on that log, reads the file once so the page
cache is warm, then times `qorctl --json entries LOG --since -1h` and
`--since -1m` (best and median of N runs, 7 by default, five
times as many for the minute). For each window it
prints the rows, the wall time of the qorctl run, the CPU time of the agent
and of qorctl, and the agent's rows per CPU-second. --keep DIR writes the
file there and leaves it (for profiling), reusing it while it is less than 30
seconds old (older, its last minute would be empty). QOR_BENCH_SHOW=1 also
prints the wall time of every run. The reply is read from a pipe into one
buffer used again, as `qorctl ... | wc -l` would.

--rotated: a log of SIZE_MB whose lines cover the last 12 hours and its
rotated file `.1` of SIZE_MB covering the 12 hours before, and a second log
holding both in one file; times `entries --since -24h` on each (N runs, 3
by default) and prints the agent's CPU per row of both: a report that goes
on into the rotated file must cost no more per row than one over one file.
"""
import os
import resource
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wake_bench import start, stop, cpu_ticks  # noqa: E402

LINES_PER_SECOND = 11


def generate(path, megabytes, end=None, rate=LINES_PER_SECOND):
    """Syslog lines at `rate` a second, the newest one dated `end` (now)."""
    sample = ("Dec  8 10:00:00 benchhost sshd[12345]: Accepted publickey for "
              "user1234 from 10.0.0.1 port 22 ssh2\n")
    lines = megabytes * 1024 * 1024 // len(sample)
    end = int(time.time()) if end is None else end
    stamps = {}
    with open(path, "w") as f:
        out = []
        for k in range(lines):
            t = end - (lines - 1 - k) // rate
            stamp = stamps.get(t)
            if stamp is None:
                stamps.clear()
                stamp = stamps[t] = time.strftime("%b %e %H:%M:%S", time.localtime(t))
            out.append(f"{stamp} benchhost sshd[{k % 100000:05d}]: Accepted publickey "
                       f"for user{k % 10000:04d} from 10.0.0.1 port 22 ssh2\n")
            if len(out) >= 65536:
                f.write("".join(out))
                out = []
        f.write("".join(out))


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def timed_entries(ctl, sock, log, since, p, buf):
    """One `qorctl --json entries` run: rows, wall ms, agent CPU ms."""
    hz = os.sysconf("SC_CLK_TCK")
    a0 = cpu_ticks(p.pid)
    t0 = time.perf_counter()
    rfd, wfd = os.pipe()
    r = subprocess.Popen([ctl, "--socket", sock, "--json", "entries", log, "--since", since],
                         stdout=wfd, stderr=subprocess.PIPE)
    os.close(wfd)
    rows = 0
    while True:
        n = os.readv(rfd, [buf])
        if not n:
            break
        rows += buf.count(b"\n", 0, n)
    os.close(rfd)
    err = r.stderr.read()
    if r.wait() != 0:
        sys.exit(f"qorctl failed: {err.decode()}")
    return rows, (time.perf_counter() - t0) * 1000, (cpu_ticks(p.pid) - a0) * 1000 / hz


def rotated(build, megabytes, runs):
    """A 24-hour report across a log and its .1, against one over one file."""
    ctl = os.path.join(build, "tools", "qorctl")
    sample_len = 110
    lines = megabytes * 1024 * 1024 // sample_len
    rate = max(1, lines // (12 * 3600))
    now = int(time.time())
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "bench0")
        single = os.path.join(tmp, "single0")
        span = lines // rate
        generate(log + ".1", megabytes, end=now - span - 1, rate=rate)
        generate(log, megabytes, end=now, rate=rate)
        os.utime(log + ".1", (now - span, now - span))
        with open(single, "wb") as out:
            for part in (log + ".1", log):
                with open(part, "rb") as f:
                    while True:
                        chunk = f.read(1 << 20)
                        if not chunk:
                            break
                        out.write(chunk)
        for path in (log + ".1", log, single):
            with open(path, "rb") as f:  # warm the page cache
                while f.read(1 << 20):
                    pass
        p, _ = start(build, tmp, [log, single], False, keep_content=True,
                     extra_env={"TVX_MAX_ROWS": "100000000"})
        sock = os.path.join(tmp, "agent.sock")
        buf = bytearray(1 << 20)
        try:
            print(f"{os.path.getsize(log) / 1e6:.0f} MB log + {os.path.getsize(log + '.1') / 1e6:.0f}"
                  f" MB .1 ({rate} lines/s, {span / 3600:.1f} h each), one file of "
                  f"{os.path.getsize(single) / 1e6:.0f} MB; {runs} runs each")
            for name, path in (("log and its .1", log), ("one file", single)):
                results = [timed_entries(ctl, sock, path, "-24h", p, buf) for _ in range(runs)]
                rows = results[0][0]
                walls = sorted(r[1] for r in results)
                cpu = sorted(r[2] for r in results)
                print(f"entries --since -24h on {name}: {rows} rows; wall median "
                      f"{walls[len(walls) // 2]:.0f} ms; agent CPU median {cpu[len(cpu) // 2]:.0f} ms"
                      f" = {cpu[len(cpu) // 2] * 1e6 / max(rows, 1):.0f} ns per row")
        finally:
            if p.poll() is None:
                stop(p)


def main():
    build = sys.argv[1]
    args = sys.argv[2:]
    if "--rotated" in args:
        megabytes = int(args[0]) if args and args[0].isdigit() else 200
        runs = int(args[args.index("--runs") + 1]) if "--runs" in args else 3
        rotated(build, megabytes, runs)
        return
    megabytes = int(args[0]) if args and args[0].isdigit() else 200
    runs = int(args[args.index("--runs") + 1]) if "--runs" in args else 7
    keep = args[args.index("--keep") + 1] if "--keep" in args else None
    ctl = os.path.join(build, "tools", "qorctl")
    hz = os.sysconf("SC_CLK_TCK")
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(keep or tmp, "bench0")
        if not (keep and os.path.exists(log) and time.time() - os.path.getmtime(log) < 30):
            generate(log, megabytes)
        with open(log, "rb") as f:  # warm the page cache
            while f.read(1 << 20):
                pass
        # No row limit: the whole hour comes back.
        p, _ = start(build, tmp, [log], False, keep_content=True,
                     extra_env={"TVX_MAX_ROWS": "10000000"})
        sock = os.path.join(tmp, "agent.sock")
        buf = bytearray(1 << 20)
        try:
            print(f"{os.path.getsize(log) / 1e6:.0f} MB syslog file, {runs} runs each")
            for since in ("-1h", "-1m"):
                walls, agent_cpu, ctl_cpu, rows = [], [], [], 0
                for _ in range(runs if since == "-1h" else runs * 5):
                    a0, c0 = cpu_ticks(p.pid), children_cpu()
                    t0 = time.perf_counter()
                    # The reply is read from a pipe into one buffer used
                    # again and again, its lines counted: keeping 13 MB of
                    # it in fresh memory would time this script's page
                    # faults instead.
                    rfd, wfd = os.pipe()
                    r = subprocess.Popen([ctl, "--socket", sock, "--json", "entries", log,
                                          "--since", since], stdout=wfd,
                                         stderr=subprocess.PIPE)
                    os.close(wfd)
                    rows = 0
                    while True:
                        n = os.readv(rfd, [buf])
                        if not n:
                            break
                        rows += buf.count(b"\n", 0, n)
                    os.close(rfd)
                    err = r.stderr.read()
                    returncode = r.wait()
                    walls.append((time.perf_counter() - t0) * 1000)
                    ctl_cpu.append((children_cpu() - c0) * 1000)
                    agent_cpu.append((cpu_ticks(p.pid) - a0) * 1000 / hz)
                    if returncode != 0:
                        sys.exit(f"qorctl failed: {err.decode()}")
                walls.sort()
                if os.environ.get("QOR_BENCH_SHOW"):
                    print(" ".join(f"{w:.1f}" for w in walls))
                mid = len(walls) // 2
                agent = sum(agent_cpu) / len(agent_cpu)
                print(f"entries --since {since}: {rows} rows; wall best {walls[0]:.1f} ms, "
                      f"median {walls[mid]:.1f} ms; CPU per run: agent {agent:.1f} ms, "
                      f"qorctl {sum(ctl_cpu) / len(ctl_cpu):.1f} ms"
                      + (f"; agent {rows / agent * 1000 / 1e6:.2f}M rows/CPU-s"
                         if agent > 0 else ""))
        finally:
            if p.poll() is None:
                stop(p)


if __name__ == "__main__":
    main()
