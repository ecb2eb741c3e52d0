#!/usr/bin/env python3
"""Cost of churn in a pattern's directory: files created, written and removed.

Usage: bench/pattern_churn_bench.py BUILD_DIR [--seconds S] [--files N] [--every MS]

Every MS milliseconds (default 50) each of N (default 20) slots removes its
file and creates a new one (a new name) with two lines, for S (default 20)
seconds; the agent watches the directory with one pattern line. Prints the
agent's CPU seconds and the bytes of trace it wrote meanwhile (its default
trace level), against the limits 0.5 CPU-s and 64 KiB; exits 1 past them.

No peer: the system logger's file input (rsyslogd imfile) is not installed
on the build hosts; the figure to compare with is 3.8 KB of its own messages
and under a second of CPU for the same work.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

from wake_bench import cpu_ticks


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--files", type=int, default=20)
    ap.add_argument("--every", type=float, default=50)
    args = ap.parse_args()
    tmp = tempfile.mkdtemp(prefix="qorchurn.")
    try:
        apps = os.path.join(tmp, "apps")
        os.mkdir(apps)
        conf = os.path.join(tmp, "agent.conf")
        with open(conf, "w") as f:
            f.write(os.path.join(apps, "churn*.log") + "\n")
        with open(os.path.join(tmp, "situations"), "w") as f:
            f.write('all VXLOGENT LOGNAME == "none"\n')
        trace = os.path.join(tmp, "trace.log")
        env = dict(os.environ)
        env.pop("JOP_WEX1", None)
        env.update({
            "HOV_EVENTS": os.path.join(tmp, "events.jsonl"),
            "HOV_TRACE_FILE": trace,
            "HOV_SOCKET": os.path.join(tmp, "agent.sock"),
            "HOV_SITUATIONS": os.path.join(tmp, "situations"),
            "TVX_SYSLOG_CONF": os.path.join(tmp, "none.conf"),
            "TVX_CONFIG_FILE": conf,
            "HOV_SYSTEM_NAME": "bench:TVX",
        })
        p = subprocess.Popen([os.path.join(args.build, "agent", "qoragent")], env=env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        try:
            time.sleep(2)
            size0 = os.path.getsize(trace) if os.path.exists(trace) else 0
            cpu0 = cpu_ticks(p.pid)
            end = time.monotonic() + args.seconds
            n = 0
            slots = [None] * args.files
            while time.monotonic() < end:
                for slot in range(args.files):
                    if slots[slot] is not None:
                        os.unlink(slots[slot])
                    slots[slot] = os.path.join(apps, f"churn{n}.log")
                    with open(slots[slot], "w") as f:
                        f.write(f"line one of file {n}\nline two of file {n}\n")
                    n += 1
                time.sleep(args.every / 1000)
            for path in slots:
                if path is not None:
                    os.unlink(path)
            time.sleep(PATTERN_GRACE + 2)  # the logs of the gone files end
            cpu = (cpu_ticks(p.pid) - cpu0) / os.sysconf("SC_CLK_TCK")
            size = os.path.getsize(trace) - size0
            t0 = time.monotonic()
            p.terminate()
            p.wait(timeout=60)
            stop = time.monotonic() - t0
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        ok = cpu < 0.5 and size < 64 * 1024
        print(f"pattern churn: {n} files in {args.seconds:.0f} s ({args.files} every "
              f"{args.every:.0f} ms): agent CPU {cpu:.2f} s (limit 0.5), trace "
              f"{size} bytes (limit 65536): {'within' if ok else 'PAST'} the limits; "
              f"stopped in {stop:.2f} s")
        return 0 if ok else 1
    finally:
        if not os.environ.get("BENCH_KEEP"):
            shutil.rmtree(tmp, ignore_errors=True)


PATTERN_GRACE = 5

if __name__ == "__main__":
    sys.exit(main())
