#!/usr/bin/env python3
"""Fleet requests end to end: one `qorctl --fleet ... entries` against N agents.

Usage: bench/fleet_bench.py BUILD_DIR [--agents N] [--entries M] [--runs R]
                            [--situations]

Starts nats-server (JetStream in a temporary directory, a free loopback port)
and N agents (50 by default), each watching one small syslog file of M
entries (1,000 by default) within the last hour, all under the same path as
on real hosts: run as root where `unshare -m` works, each agent sees its own
file there through a private bind mount; otherwise the agents share one file.
Once every agent is in the roster it times, R times each (3 by default):

  fleet  one `qorctl --fleet URL --json entries PATH --since -1h`
  loop   N runs of `qorctl --socket S --json entries PATH --since -1h`,
         one agent's control socket after the other

and prints the rows each gathered and the best and median wall time.
Goal: the fleet query under 1 s for 50 agents.

With --situations the agents take the fleet's situations
(HOV_FLEET_SITUATIONS=yes) and it times instead, R times each:

  fleet  one `qorctl --fleet URL situation add NAME VXLOGENT CONDITION`:
         from the put until every roster entry shows it applied (as qorctl
         reports it), and qorctl's wall time
  loop   N runs of `qorctl --socket S situation add NAME ...`, one agent's
         control socket after the other

Goal: the fleet's add applied by 50 agents under 1 s from the put.
"""
import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

NATS_SERVER = "/usr/sbin/nats-server"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_log(path, entries, host):
    now = int(time.time())
    with open(path, "w") as f:
        for k in range(entries):
            t = now - 3000 + k * 2900 // entries
            stamp = time.strftime("%b %e %H:%M:%S", time.localtime(t))
            f.write(f"{stamp} {host} sshd[{k:05d}]: Accepted publickey for user{k:04d} "
                    f"from 10.0.0.1 port 22 ssh2\n")


def can_unshare():
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        return False
    return subprocess.run(["unshare", "-m", "--propagation", "private", "true"],
                          stderr=subprocess.DEVNULL).returncode == 0


def wait(pred, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(0.1)
    return False


def timed(argv, env=None):
    t = time.monotonic()
    r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    return time.monotonic() - t, r


def bench_situations(a, qorctl, url, sockets):
    applied, walls, loop = [], [], []
    for run in range(a.runs):
        name = f"bench{run}"
        t, r = timed([qorctl, "--fleet", url, "--timeout", "30", "situation", "add", name,
                      "VXLOGENT", f'ENTRYDESC ~ "{name}"'])
        out = r.stdout.decode()
        if r.returncode != 0 or f"applied by {a.agents} of {a.agents} hosts in " not in out:
            sys.exit(f"fleet add failed ({r.returncode}): {out} {r.stderr.decode()[-500:]}")
        applied.append(float(out.rsplit(" in ", 1)[1].split()[0]))
        walls.append(t)
        t0 = time.monotonic()
        for s in sockets:
            _, r = timed([qorctl, "--socket", s, "situation", "add", f"{name}-local",
                          "VXLOGENT", f'ENTRYDESC ~ "{name}"'])
            if r.returncode != 0:
                sys.exit(f"local add failed: {r.stderr.decode()[-500:]}")
        loop.append(time.monotonic() - t0)
    for label, times in (("fleet add: put to all applied", applied),
                         ("fleet add: qorctl wall time", walls),
                         ("loop (qorctl per socket)", loop)):
        print(f"{label:32s} best {min(times):.3f} s  median {statistics.median(times):.3f} s")
    print(f"ratio loop / fleet wall (median): "
          f"{statistics.median(loop) / statistics.median(walls):.1f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--agents", type=int, default=50)
    ap.add_argument("--entries", type=int, default=1000)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--situations", action="store_true")
    a = ap.parse_args()
    agent = os.path.join(a.build, "agent", "qoragent")
    qorctl = os.path.join(a.build, "tools", "qorctl")
    tmp = tempfile.mkdtemp(prefix="fleet_bench.")
    port = free_port()
    url = f"nats://127.0.0.1:{port}/bench"
    procs = []
    server = subprocess.Popen([NATS_SERVER, "-a", "127.0.0.1", "-p", str(port), "-js", "-sd",
                               os.path.join(tmp, "js"), "-l", os.path.join(tmp, "nats.log")])
    try:
        own = can_unshare()
        logdir = os.path.join(tmp, "log")  # the path every agent watches
        os.mkdir(logdir)
        path = os.path.join(logdir, "auth.log")
        if not own:
            write_log(path, a.entries, "benchhost")
        sockets = []
        for i in range(a.agents):
            d = os.path.join(tmp, f"host{i:02d}")
            os.mkdir(d)
            if own:
                write_log(os.path.join(d, "auth.log"), a.entries, f"host{i:02d}")
            with open(os.path.join(d, "qoragent.conf"), "w") as f:
                f.write(path + "\n")
            env = dict(os.environ, TVX_CONFIG_FILE=os.path.join(d, "qoragent.conf"),
                       HOV_FLEET=url, HOV_SYSTEM_NAME=f"host{i:02d}.bench:TVX",
                       HOV_SOCKET=os.path.join(d, "agent.sock"),
                       HOV_TRACE_FILE=os.path.join(d, "trace.log"),
                       HOV_EVENTS=os.path.join(d, "events.jsonl"),
                       TVX_SYSLOG_CONF=os.path.join(d, "none"))
            if a.situations:
                env["HOV_FLEET_SITUATIONS"] = "yes"
            argv = [agent]
            if own:
                argv = ["unshare", "-m", "--propagation", "private", "sh", "-c",
                        f'mount --bind "{d}" "{logdir}" && exec "{agent}"']
            procs.append(subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL,
                                          stderr=subprocess.DEVNULL))
            sockets.append(env["HOV_SOCKET"])

        def roster():
            r = subprocess.run([qorctl, "--fleet", url, "--json", "hosts"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            return r.stdout.count("\n")

        if not wait(lambda: roster() == a.agents, 60):
            sys.exit(f"only {roster()} of {a.agents} agents reached the roster")
        print(f"{a.agents} agents, {a.entries} entries each in the window, "
              f"{'own logs (private mounts)' if own else 'one shared log'}")
        if a.situations:
            bench_situations(a, qorctl, url, sockets)
            return

        fleet, loop = [], []
        fleet_rows = loop_rows = 0
        for _ in range(a.runs):
            t, r = timed([qorctl, "--fleet", url, "--json", "entries", path, "--since", "-1h"])
            if r.returncode != 0:
                sys.exit(f"fleet query failed ({r.returncode}): {r.stderr.decode()[-500:]}")
            fleet.append(t)
            fleet_rows = r.stdout.count(b"\n")
            # Each host's rows name the host that wrote its own log.
            systems = {line.split(b'"ENTRYSYS":"')[1].split(b'"')[0]
                       for line in r.stdout.splitlines() if b'"ENTRYSYS":"' in line}
            t0 = time.monotonic()
            rows = 0
            for s in sockets:
                _, r = timed([qorctl, "--socket", s, "--json", "entries", path, "--since", "-1h"])
                if r.returncode != 0:
                    sys.exit(f"local query failed: {r.stderr.decode()[-500:]}")
                rows += r.stdout.count(b"\n")
            loop.append(time.monotonic() - t0)
            loop_rows = rows
        print(f"fleet rows came from {len(systems)} distinct ENTRYSYS values")
        for name, times, rows in (("fleet (one qorctl --fleet)", fleet, fleet_rows),
                                  ("loop (qorctl per socket)", loop, loop_rows)):
            print(f"{name:28s} rows {rows:7d}  best {min(times):.3f} s  "
                  f"median {statistics.median(times):.3f} s")
    finally:
        for p in procs:
            p.send_signal(signal.SIGTERM)
        for p in procs:
            try:
                p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        server.terminate()
        server.wait()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
