#!/usr/bin/env python3
"""Pairs per key, the real agent beside SEC on the same input.

Usage: bench/remember_bench.py BUILD_DIR [--lines N] [--users N] [--no-sec]

Two scenarios, each on one syslog file of N lines (1,000,000) naming U users
(100,000), every line stamped now, so that SEC's windows (its own clock) and
the agent's (entry times) agree:
  a: "Failed password" then "Accepted password" for the same user within
     60 s: every user fails once, half of them then log in.
  b: "session opened" without "session closed" for the same user within
     30 s: every user opens a session, 70 % close it.
The other lines are sshd noise that meets neither condition.

The agent: one log, the file appended at once with a marker line after it;
lines per second from the append until the marker's event, and the agent's
CPU seconds over that time. SEC (the Debian package `sec`): the file read with
-notail, timed from start to exit (CPU from its rusage). Events: SEC's rule
writes one line per event; for b SEC tails the file from its start and is
stopped 35 s after it has read it. Prints both, the ratios and whether the
event counts agree.
"""
import json
import os
import random
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time


def make_input(path, scenario, lines, users):
    rng = random.Random(42)
    now = time.strftime("%b %e %H:%M:%S")
    out = [
        "%s host1 sshd[%d]: Connection closed by 10.1.%d.%d port %d [preauth]"
        % (now, 1000 + i % 5000, i % 250, i % 200, 1024 + i % 60000)
        for i in range(lines)
    ]
    taken = set()
    expected = 0

    def free_slot(low, high):
        for _ in range(50):
            i = rng.randrange(low, high)
            if i not in taken:
                taken.add(i)
                return i
        return None

    for u in range(users):
        i = free_slot(0, int(lines * 0.8))
        if i is None:
            continue
        if scenario == "a":
            out[i] = "%s host1 sshd[1]: Failed password for user%d from 10.0.0.1 port 22 ssh2" % (now, u)
            if u % 2 == 0:
                j = free_slot(i + 1, min(lines, i + lines // 10))
                if j is not None:
                    out[j] = "%s host1 sshd[2]: Accepted password for user%d from 10.0.0.1 port 22 ssh2" % (now, u)
                    expected += 1
        else:
            out[i] = "%s host1 sshd[1]: pam_unix(sshd:session): session opened for user user%d by (uid=0)" % (now, u)
            if u % 10 < 7:
                j = free_slot(i + 1, min(lines, i + lines // 10))
                if j is not None:
                    out[j] = "%s host1 sshd[1]: pam_unix(sshd:session): session closed for user user%d" % (now, u)
                    continue
            expected += 1
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")
    return expected


SITUATIONS = {
    "a": 'a VXLOGENT ENTRYDESC ~ "Failed password" THEN ENTRYDESC ~ "Accepted password" '
         'WITHIN 60 PER ENTRYDESC "for ([^ ]+) from" KEYS 1000000\n',
    "b": 'b VXLOGENT ENTRYDESC ~ "session opened" WITHOUT ENTRYDESC ~ "session closed" '
         'WITHIN 30 PER ENTRYDESC "for user ([^ ]+)" KEYS 1000000\n',
}

# SEC keeps per-key state in contexts: a rule that opens the key's context
# (unless one is open: the first window is kept, as PairWithWindow keeps its
# first event) and one that ends it. (A PairWithWindow rule binds its second
# pattern to the first's $1 by matching every open operation's pattern2
# against each line: with 100,000 users it did not finish 100,000 lines in
# two minutes here, so the context form is the fair one.)
SEC_RULES = {
    "a": """type=Single
ptype=RegExp
pattern=Failed password for (\\S+) from
context=!failed_$1
desc=failed $1
action=create failed_$1 60

type=Single
ptype=RegExp
pattern=Accepted password for (\\S+) from
context=failed_$1
desc=then $1
action=write %(out)s then $1; delete failed_$1
""",
    "b": """type=Single
ptype=RegExp
pattern=session opened for user (\\S+)
context=!session_$1
desc=opened $1
action=create session_$1 30 (write %(out)s without $1)

type=Single
ptype=RegExp
pattern=session closed for user (\\S+)
context=session_$1
desc=closed $1
action=delete session_$1
""",
}


def cpu_of(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    tick = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / tick


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def qorctl(build, sock, *args):
    r = subprocess.run([os.path.join(build, "tools", "qorctl"), "--socket", sock, "--json"] + list(args),
                       capture_output=True, text=True, timeout=30)
    return [json.loads(l) for l in r.stdout.splitlines() if l.startswith("{")]


def tail_has(path, needle):
    try:
        with open(path, "rb") as f:
            f.seek(0, os.SEEK_END)
            f.seek(max(0, f.tell() - 65536))
            return needle in f.read()
    except OSError:
        return False


def count_lines(path, needle):
    if not os.path.exists(path):
        return 0
    n = 0
    with open(path, "rb") as f:
        for line in f:
            if needle in line:
                n += 1
    return n


def run_agent(build, tmp, scenario, data, lines):
    log = os.path.join(tmp, "agent.log")
    open(log, "w").close()
    conf = os.path.join(tmp, "agent.conf")
    with open(conf, "w") as f:
        f.write(log + " ;N ;S\n")
    sits = os.path.join(tmp, "situations")
    with open(sits, "w") as f:
        f.write(SITUATIONS[scenario])
        f.write('end VXLOGENT ENTRYDESC ~ "bench-end-marker"\n')
    events = os.path.join(tmp, "events-%s.jsonl" % scenario)
    sock = os.path.join(tmp, "agent.sock")
    env = dict(os.environ, TVX_CONFIG_FILE=conf, HOV_SITUATIONS=sits, HOV_EVENTS=events,
               HOV_SOCKET=sock, HOV_TRACE_FILE=os.path.join(tmp, "trace.log"),
               TVX_SYSLOG_CONF=os.path.join(tmp, "none"), TVX_JOURNAL_DIR=os.path.join(tmp, "nj"))
    agent = subprocess.Popen([os.path.join(build, "agent", "qoragent")], env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.time() + 30
        while time.time() < deadline:
            try:
                if any(r.get("LOGNAME") == "agent.log" and r.get("MONSTATUS", "").strip() for r in qorctl(build, sock, "logs")):
                    break
            except Exception:
                pass
            time.sleep(0.2)
        time.sleep(1)
        rss_before = rss_kb(agent.pid)
        cpu0 = cpu_of(agent.pid)
        t0 = time.time()
        with open(log, "ab") as f, open(data, "rb") as src:
            shutil.copyfileobj(src, f, 1 << 20)
            f.write(b"Dec  9 00:00:00 host1 bench: bench-end-marker\n")
        # The last line's event says every line before it was evaluated
        # (looked for in the file's tail: reading it all would take the CPU
        # the agent is measured on).
        while time.time() < t0 + 600 and not tail_has(events, b'"situation":"end"'):
            time.sleep(0.02)
        t1 = time.time()
        cpu = cpu_of(agent.pid) - cpu0
        open_pairs = 0
        for s in qorctl(build, sock, "situations"):
            if s.get("name") == scenario:
                open_pairs = s.get("open_pairs", 0)
        rss_open = rss_kb(agent.pid)
        if scenario == "b":
            time.sleep(33)
        else:
            time.sleep(1)
        n = count_lines(events, b'"pair"')
        return {"seconds": t1 - t0, "lines_per_s": lines / (t1 - t0), "cpu_s": cpu, "events": n,
                "open_pairs": open_pairs, "rss_kb_before": rss_before, "rss_kb_open": rss_open}
    finally:
        agent.send_signal(signal.SIGTERM)
        try:
            agent.wait(timeout=20)
        except subprocess.TimeoutExpired:
            agent.kill()
            agent.wait()


def run_sec(tmp, scenario, data, lines):
    out = os.path.join(tmp, "sec-%s.out" % scenario)
    conf = os.path.join(tmp, "rules-%s.sec" % scenario)
    with open(conf, "w") as f:
        f.write(SEC_RULES[scenario] % {"out": out})
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.time()
    subprocess.run(["sec", "-conf=" + conf, "-input=" + data, "-notail", "-log=/dev/null"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    t1 = time.time()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    events = count_lines(out, b"then") if scenario == "a" else 0
    if scenario == "b":
        # The "without" events come when the windows end: SEC tails the file
        # from its start and runs past the window.
        if os.path.exists(out):
            os.unlink(out)
        sec = subprocess.Popen(["sec", "-conf=" + conf, "-input=" + data, "-fromstart", "-log=/dev/null"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep((t1 - t0) + 35)
        sec.terminate()
        sec.wait()
        events = count_lines(out, b"without")
    return {"seconds": t1 - t0, "lines_per_s": lines / (t1 - t0), "cpu_s": cpu, "events": events}


def main():
    args = sys.argv[1:]
    if not args or args[0].startswith("-"):
        print(__doc__)
        return 2
    build = os.path.abspath(args[0])
    lines = int(args[args.index("--lines") + 1]) if "--lines" in args else 1000000
    users = int(args[args.index("--users") + 1]) if "--users" in args else 100000
    with_sec = "--no-sec" not in args and shutil.which("sec") is not None
    with tempfile.TemporaryDirectory(prefix="remember-bench.") as tmp:
        for scenario in ("a", "b"):
            data = os.path.join(tmp, "input-%s.log" % scenario)
            expected = make_input(data, scenario, lines, users)
            q = run_agent(build, tmp, scenario, data, lines)
            print("scenario %s (%d lines, %d users, %d events expected)" % (scenario, lines, users, expected))
            print("  qoragent: %.0f lines/s, %.2f CPU-s, %d events, %d open pairs after reading, "
                  "RSS %d -> %d KiB (%.0f bytes per open pair)"
                  % (q["lines_per_s"], q["cpu_s"], q["events"], q["open_pairs"], q["rss_kb_before"],
                     q["rss_kb_open"],
                     (q["rss_kb_open"] - q["rss_kb_before"]) * 1024.0 / max(1, q["open_pairs"])))
            if with_sec:
                s = run_sec(tmp, scenario, data, lines)
                print("  sec:      %.0f lines/s, %.2f CPU-s, %d events" % (s["lines_per_s"], s["cpu_s"], s["events"]))
                print("  ratio:    %.1fx the lines/s at %.3f of the CPU-s; events %s"
                      % (q["lines_per_s"] / s["lines_per_s"], q["cpu_s"] / max(1e-9, s["cpu_s"]),
                         "agree" if q["events"] == s["events"] else "DIFFER"))
            sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
