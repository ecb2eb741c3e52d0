#!/usr/bin/env python3
"""Write-to-event latency, idle cost and stop time of the real agent.

Usage: bench/wake_bench.py BUILD_DIR [latency|latency-load|idle N|stop N|refresh N|throughput]
                           [--poll-only] [--state-file] [--every N] [--situations N]
                           [--lines N] [--rsyslog] [--pattern] [--multiline]

--pattern: the N logs are configured as one pattern line (bench*), each
         matching file a log of its own.
--multiline: throughput with a multiline rule: entries of 10 lines (a start
         line and 9 continuation lines), one entry in ten taken.

--state-file: the agent keeps its positions in a state file (TVX_STATE_FILE),
         saved every 2 s; an idle agent must not pay for rewriting it.

latency: 50 single lines at random gaps (50-300 ms), each timed from write()
         to its event line in the sink (waited for with inotify, not by
         spinning); prints p50/p95/max in ms.
idle N:  N idle logs; CPU % of one core over 20 s and RSS after start-up.
stop N:  N logs; time from SIGTERM to exit, and the exit status.
throughput: one million lines (--lines) appended as fast as they can be
         written, one in ten (--every N: one in N; 1: every line) taken by the
         one situation (--situations N: N situations, each line taken by one of
         them, the lines naming min(N, 1000) users in turn; not with
         --multiline); lines per second from the first write to the last event, and
         the agent's CPU seconds per million lines. --rsyslog: then the same
         lines through rsyslogd (imfile to omfile, our child with its own
         configuration in the temporary directory), when it is installed.
latency-load: latency while another log takes bursts of a million lines back
         to back (one in --every N an event).
BENCH_WRAPPER (environment): a command the agent runs under, e.g.
         "valgrind --tool=callgrind" (compare instruction counts before and
         after a change: the machine is shared) or "perf record -g".
refresh N: N + 1 logs, then a configuration that keeps one of them and a
         SIGHUP; time from the signal until the refresh is done (the manager
         waits for signals again), and the longest wait of `qorctl logs`
         requests issued one after the other meanwhile.
"""
import ctypes
import os
import random
import select
import signal
import subprocess
import sys
import tempfile
import time


WAITING = b"Manager thread waiting for refresh (1) or stop (15) signal."


def start(build, tmp, logs, poll_only, keep_content=False, trace=False, extra_env=None,
          situations='all VXLOGENT LOGNAME == "bench0"\n', pattern=False, rule=None):
    conf = os.path.join(tmp, "agent.conf")
    with open(conf, "w") as f:
        for log in logs:
            if not keep_content:
                open(log, "w").close()
            if not pattern:
                f.write(log + "\n")
        if pattern:
            f.write(os.path.join(tmp, "bench*") + "\n")
        if rule:
            f.write(f"multiline {logs[0]} {rule}\n")
    with open(os.path.join(tmp, "situations"), "w") as f:
        f.write(situations)
    env = dict(os.environ)
    env.pop("JOP_WEX1", None)
    if trace:
        env["JOP_WEX1"] = "TVX100:ERROR,FLOW"
    env.update({
        "HOV_EVENTS": os.path.join(tmp, "events.jsonl"),
        "HOV_TRACE_FILE": os.path.join(tmp, "trace.log"),
        "HOV_SOCKET": os.path.join(tmp, "agent.sock"),
        "HOV_SITUATIONS": os.path.join(tmp, "situations"),
        "TVX_SYSLOG_CONF": os.path.join(tmp, "none.conf"),
        "TVX_CONFIG_FILE": conf,
        "HOV_SYSTEM_NAME": "bench:TVX",
    })
    if poll_only:
        env["TVX_POLL_ONLY"] = "1"
    env.update(extra_env or {})
    # BENCH_WRAPPER (e.g. "valgrind --tool=callgrind") runs the agent under a tool.
    wrapper = os.environ.get("BENCH_WRAPPER", "").split()
    p = subprocess.Popen(wrapper + [os.path.join(build, "agent", "qoragent")], env=env,
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    ctl = os.path.join(build, "tools", "qorctl")
    deadline = time.time() + 30
    while time.time() < deadline:
        r = subprocess.run([ctl, "--socket", env["HOV_SOCKET"], "--json", "logs"],
                           capture_output=True, text=True)
        if r.returncode == 0 and r.stdout.count('"Running"') >= len(logs):
            break
        time.sleep(0.2)
    time.sleep(1.5)  # every worker past its open and into its wait
    return p, env["HOV_EVENTS"]


def refresh(build, tmp, logs, p):
    """Drops all but the first log; prints how long the refresh took."""
    ctl = os.path.join(build, "tools", "qorctl")
    sock = os.path.join(tmp, "agent.sock")
    trace = os.path.join(tmp, "trace.log")
    with open(os.path.join(tmp, "agent.conf"), "w") as f:
        f.write(logs[0] + "\n")
    waiting = open(trace, "rb").read().count(WAITING)
    waits = []
    t0 = time.monotonic()
    p.send_signal(signal.SIGHUP)
    done = None
    while done is None and time.monotonic() - t0 < 60:
        w0 = time.monotonic()
        subprocess.run([ctl, "--socket", sock, "--json", "logs"], capture_output=True)
        waits.append(time.monotonic() - w0)
        if open(trace, "rb").read().count(WAITING) > waiting:
            done = time.monotonic() - t0
    print(f"refresh dropping {len(logs) - 1} logs: done after "
          f"{done * 1000:.0f} ms; {len(waits)} `qorctl logs` meanwhile, longest "
          f"{max(waits) * 1000:.0f} ms, median {sorted(waits)[len(waits) // 2] * 1000:.0f} ms")


def cpu_ticks(pid):
    user, system = cpu_split(pid)
    return user + system


def cpu_split(pid):
    """User and system clock ticks of `pid`, all its threads."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]), int(fields[12])


def cpu_ns(pid):
    """CPU time of the live threads of `pid` in ns (finer than clock ticks;
    an idle agent's threads all live through the measurement)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass  # ended meanwhile
    return total


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def stop(p):
    t0 = time.monotonic()
    p.send_signal(signal.SIGTERM)
    rc = p.wait(timeout=120)
    return time.monotonic() - t0, rc


def bulk_text(lines, every, users=1000):
    """`lines` syslog lines, one in `every` a "Failed password" line, for
    the users u0 to u`users - 1` in turn."""
    stamp = time.strftime("%b %e %H:%M:%S")
    return "".join(
        f"{stamp} benchhost sshd[{k % 100000}]: "
        + (f"Failed password for u{k // every % users} from 10.0.{k % 250}.1 port 22 ssh2\n"
           if k % every == 0
           else f"Accepted publickey for user{k % 10000} from 10.0.0.1 port 22 ssh2\n")
        for k in range(lines)).encode()


def multiline_text(lines):
    """Entries of ten lines, a start line and nine continuation lines, one
    entry in ten a "Failed password" one."""
    stamp = time.strftime("%b %e %H:%M:%S")
    return "".join(
        (f"{stamp} benchhost app[{k % 100000}]: "
         + ("Failed password in request " if k % 100 == 0 else "Request ")
         + f"{k // 10} failed\n") if k % 10 == 0
        else f"\tat com.example.Handler.step{k % 10}(Handler.java:{k % 1000})\n"
        for k in range(lines)).encode()


def throughput(log, events, p, lines=1_000_000, every=10, multiline=False, users=1000):
    """Appends `lines` syslog lines as fast as they can be written, one in
    `every` a "Failed password" line that a situation takes; prints the lines
    per second from the first write to the last event, and the agent's CPU
    seconds per million lines. `multiline`: entries of ten lines, one entry
    in ten taken. `users`: the failed lines name that many users in turn
    (one situation each takes them all only when they are at most as many
    as the situations)."""
    if multiline:
        text = multiline_text(lines)
        want = lines // 100
    else:
        text = bulk_text(lines, every, users)
        want = (lines + every - 1) // every
    hz = os.sysconf("SC_CLK_TCK")
    (u0, s0), t0 = cpu_split(p.pid), time.monotonic()
    c0 = u0 + s0
    with open(log, "ab", buffering=0) as f:
        for at in range(0, len(text), 1 << 20):
            f.write(text[at:at + (1 << 20)])
    seen, done = 0, None
    # Counted in one reused buffer: the harness's own reading should cost
    # as little as it can beside the tool it measures.
    buf = bytearray(1 << 22)
    with open(events, "rb") if os.path.exists(events) else open(os.devnull, "rb") as ev:
        while time.monotonic() - t0 < 300:
            n = ev.readinto(buf)
            seen += buf.count(b"\n", 0, n)
            if seen >= want:
                done = time.monotonic()
                break
            if not n:
                time.sleep(0.01)
    u1, s1 = cpu_split(p.pid)
    c1 = u1 + s1
    if done is None:
        sys.exit(f"only {seen} of {want} events arrived")
    secs = done - t0
    per = hz * lines / 1e6
    print(f"{lines} lines{' in 10-line entries' if multiline else ''} ({want} events): "
          f"{lines / secs / 1000:.0f}k lines/s end to end, "
          f"agent {(c1 - c0) / per:.2f} CPU-s per million lines "
          f"(user {(u1 - u0) / per:.2f}, system {(s1 - s0) / per:.2f}); "
          f"load {os.getloadavg()[0]:.1f}")
    return text


def rsyslog_throughput(tmp, text, lines):
    """The same lines through the system logger, rsyslogd from file input
    (imfile) to file output (omfile), run as our child with its own
    configuration, pid file and work directory under `tmp`; prints its
    lines per second and CPU seconds per million lines."""
    daemon = "/usr/sbin/rsyslogd"
    if not os.access(daemon, os.X_OK):
        print("rsyslogd: not installed, no comparison")
        return
    work = os.path.join(tmp, "rsyslog")
    os.mkdir(work)
    log, out = os.path.join(work, "input"), os.path.join(work, "output")
    open(log, "w").close()
    open(out, "w").close()
    conf = os.path.join(work, "rsyslog.conf")
    with open(conf, "w") as f:
        f.write(f'global(workDirectory="{work}")\n'
                'module(load="imfile" mode="inotify")\n'
                f'input(type="imfile" file="{log}" tag="bench:")\n'
                f'action(type="omfile" file="{out}")\n')
    r = subprocess.Popen([daemon, "-n", "-f", conf, "-i", os.path.join(work, "pid")],
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    try:
        time.sleep(2)  # watching its input
        hz = os.sysconf("SC_CLK_TCK")
        before = os.path.getsize(out)
        c0, t0 = cpu_ticks(r.pid), time.monotonic()
        with open(log, "ab", buffering=0) as f:
            for at in range(0, len(text), 1 << 20):
                f.write(text[at:at + (1 << 20)])
        seen, done = 0, None
        buf = bytearray(1 << 22)
        with open(out, "rb") as o:
            o.seek(before)  # what the daemon wrote of its own as it started
            while time.monotonic() - t0 < 300:
                n = o.readinto(buf)
                # One output line per input line; a name could be split
                # between two reads, a newline cannot.
                seen += buf.count(b"\n", 0, n)
                if seen >= lines:
                    done = time.monotonic()
                    break
                if not n:
                    time.sleep(0.01)
        c1 = cpu_ticks(r.pid)
        if done is None:
            print(f"rsyslogd: only {seen} of {lines} lines arrived")
            return
        print(f"rsyslogd, imfile to omfile, same lines: {lines / (done - t0) / 1000:.0f}k lines/s "
              f"end to end, {(c1 - c0) / hz / (lines / 1e6):.2f} CPU-s per million lines")
    finally:
        r.terminate()
        r.wait(timeout=30)


def latency_under_load(logs, events, every):
    """The latency benchmark on logs[0] while logs[1] takes bursts of a
    million lines (one in `every` an event) back to back: each burst is
    written once the event file has grown by most of the one before, so
    that the agent is always busy. Each latency line's event is looked for
    from where the event file ended when the line was written, in what is
    new at each change of the file: the harness never reads the bursts'
    events as a whole, which would make its own delay part of the figure.
    The bursts are written by a process of their own: a thread of this one
    would hold the interpreter's lock, preempted on a busy machine, while a
    latency line waits to be written or its event to be seen."""
    import multiprocessing
    bulk = bulk_text(1_000_000, every)
    per_burst = (1_000_000 + every - 1) // every
    # Fewer bytes than any burst event takes: the pacing's lower bound.
    least_event = 500
    stop = multiprocessing.Event()
    bursts = multiprocessing.Value("i", 0)
    base = os.path.getsize(events)

    def load():
        with open(logs[1], "ab", buffering=0) as f:
            while not stop.is_set():
                # At most two bursts ahead of the agent.
                if os.path.getsize(events) - base < \
                        (bursts.value - 1) * per_burst * least_event:
                    time.sleep(0.02)
                    continue
                bursts.value += 1
                for at in range(0, len(bulk), 1 << 20):
                    f.write(bulk[at:at + (1 << 20)])

    libc = ctypes.CDLL(None, use_errno=True)
    watch = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
    # IN_MODIFY | IN_CREATE on the directory of the event file.
    if watch < 0 or libc.inotify_add_watch(watch, os.path.dirname(events).encode(),
                                           0x2 | 0x100) < 0:
        sys.exit("inotify unavailable")
    loader = multiprocessing.get_context("fork").Process(target=load)
    loader.start()
    time.sleep(1)  # the first burst under way
    fd = os.open(logs[0], os.O_WRONLY | os.O_APPEND)
    ev = os.open(events, os.O_RDONLY)
    lat = []
    try:
        for i in range(50):
            time.sleep(random.uniform(0.05, 0.3))
            stamp = time.strftime("%b %e %H:%M:%S")
            line = f"{stamp} host app: latency-{i}\n".encode()
            want = f"latency-{i}\"".encode()
            at = os.fstat(ev).st_size
            tail = b""
            t0 = time.perf_counter()
            os.write(fd, line)
            found = None
            while found is None and time.perf_counter() - t0 < 5:
                chunk = os.pread(ev, 1 << 22, at)
                if chunk:
                    at += len(chunk)
                    text = tail + chunk
                    if want in text:
                        found = time.perf_counter()
                        break
                    tail = text[-64:]
                    continue
                if select.select([watch], [], [], 0.05)[0]:
                    os.read(watch, 65536)
            lat.append(((found or time.perf_counter()) - t0) * 1000)
    finally:
        stop.set()
        loader.join()
        os.close(fd)
        os.close(ev)
        os.close(watch)
    lat.sort()
    print(f"latency ms over {len(lat)} with {bursts.value} bursts of 1M lines (1 in {every} "
          f"an event) on another log: p50 {lat[len(lat) // 2]:.2f} "
          f"p95 {lat[int(len(lat) * 0.95) - 1]:.2f} max {lat[-1]:.2f}")


def option(name, default):
    """The value after `name` on the command line, else `default`."""
    if name in sys.argv[:-1]:
        return int(sys.argv[sys.argv.index(name) + 1])
    return default


def main():
    build, what = sys.argv[1], sys.argv[2]
    every = option("--every", 10)
    lines = option("--lines", 1_000_000)
    count = option("--situations", 1)
    poll_only = "--poll-only" in sys.argv
    state_file = "--state-file" in sys.argv
    pattern = "--pattern" in sys.argv
    multiline = "--multiline" in sys.argv
    n = int(sys.argv[3]) if what in ("idle", "stop", "refresh") else 1
    n += 1 if what in ("refresh", "latency-load") else 0
    with tempfile.TemporaryDirectory() as tmp:
        logs = [os.path.join(tmp, f"bench{i}") for i in range(n)]
        extra = {"TVX_STATE_FILE": os.path.join(tmp, "state")} if state_file else None
        if what == "latency-load":
            situations = ('all VXLOGENT LOGNAME == "bench0"\n'
                          'fail VXLOGENT LOGNAME == "bench1" AND ENTRYDESC ~ "Failed password"\n')
        elif what != "throughput":
            situations = 'all VXLOGENT LOGNAME == "bench0"\n'
        elif count == 1:
            situations = 'fail VXLOGENT ENTRYDESC ~ "Failed password"\n'
        elif multiline:
            # The entries name no user for the situations to split them by.
            sys.exit("--situations N (N > 1) takes the syslog lines, not --multiline")
        else:
            situations = "".join(f'fail{i} VXLOGENT ENTRYDESC ~ "Failed password for u{i} from"\n'
                                 for i in range(count))
        p, events = start(build, tmp, logs, poll_only, trace=what == "refresh",
                          extra_env=extra, situations=situations, pattern=pattern,
                          rule="quiet=0.05 ^[A-Z][a-z][a-z] " if multiline else None)
        if what in ("throughput", "latency-load"):
            open(events, "ab").close()
        try:
            if what == "latency":
                fd = os.open(logs[0], os.O_WRONLY | os.O_APPEND)
                libc = ctypes.CDLL(None, use_errno=True)
                watch = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
                # IN_MODIFY | IN_CREATE on the directory of the event file.
                if watch < 0 or libc.inotify_add_watch(watch, os.path.dirname(events).encode(),
                                                       0x2 | 0x100) < 0:
                    sys.exit("inotify unavailable")
                got, lat = 0, []
                for i in range(50):
                    time.sleep(random.uniform(0.05, 0.3))
                    stamp = time.strftime("%b %e %H:%M:%S")
                    line = f"{stamp} host app: latency-{i}\n".encode()
                    before = os.stat(events).st_size if os.path.exists(events) else 0
                    t0 = time.perf_counter()
                    os.write(fd, line)
                    while (os.stat(events).st_size if os.path.exists(events) else 0) == before:
                        if time.perf_counter() - t0 > 5:
                            break
                        # Blocks until something in the directory changes:
                        # spinning would take a core from the agent.
                        if select.select([watch], [], [], 0.05)[0]:
                            os.read(watch, 65536)
                    lat.append((time.perf_counter() - t0) * 1000)
                lat.sort()
                print(f"latency ms over {len(lat)}: p50 {lat[len(lat) // 2]:.2f} "
                      f"p95 {lat[int(len(lat) * 0.95) - 1]:.2f} max {lat[-1]:.2f}")
            elif what == "latency-load":
                latency_under_load(logs, events, every)
            elif what == "idle":
                c0, t0 = cpu_ns(p.pid), time.monotonic()
                time.sleep(20)
                c1, t1 = cpu_ns(p.pid), time.monotonic()
                print(f"{n} idle logs: CPU {100.0 * (c1 - c0) / 1e9 / (t1 - t0):.3f} % of one core, "
                      f"RSS {rss_kib(p.pid) / 1024:.1f} MiB")
            elif what == "refresh":
                refresh(build, tmp, logs, p)
            elif what == "throughput":
                # Fewer than 1000 situations: the failed lines name only
                # their users, so that each line is one situation's event
                # (else the bench would wait for events no situation raises).
                users = count if 1 < count < 1000 else 1000
                text = throughput(logs[0], events, p, lines=lines, every=every,
                                  multiline=multiline, users=users)
                if "--rsyslog" in sys.argv:
                    rsyslog_throughput(tmp, text, lines)
            if what == "stop":
                secs, rc = stop(p)
                print(f"SIGTERM with {n} logs: exit {rc} after {secs * 1000:.0f} ms")
        finally:
            if p.poll() is None:
                stop(p)


if __name__ == "__main__":
    main()
