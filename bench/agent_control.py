"""The agent from the benchmarks: its control socket without a process each
time, its CPU and pid (under BENCH_WRAPPER too), a free loopback port.

A benchmark that waits for a count polls it many times a second; starting
qorctl for each look costs the harness a fifth of a core here, taken from the
agent it measures. One request line on the socket costs almost nothing.
"""
import json
import os
import socket
import subprocess
import time


def ping(sock_path, timeout=5.0):
    """The agent's PING reply: its first JSON line as a dict ({} when none)."""
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect(sock_path)
            s.sendall(b"PING\n")
            data = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
                lines = data.split(b"\n")
                head = lines[0].split()
                if len(head) == 2 and head[0] == b"OK" and len(lines) > int(head[1]) + 1:
                    break
                if head and head[0] == b"ERR":
                    return {}
    except (OSError, ValueError):
        return {}
    for line in data.split(b"\n")[1:]:
        try:
            row = json.loads(line)
        except ValueError:
            continue
        if isinstance(row, dict):
            return row
    return {}


def fleet_sink(sock_path):
    """The first fleet sink's counts from PING ({} when none)."""
    sinks = ping(sock_path).get("fleet_sinks") or []
    return sinks[0] if sinks else {}


def cpu_ticks(pid):
    """The CPU a process has used so far (user and system), in clock ticks."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def agent_pid(p):
    """The agent's pid: `p`'s, or under BENCH_WRAPPER the qoragent below it."""
    todo = [p.pid]
    while todo:
        pid = todo.pop()
        try:
            with open(f"/proc/{pid}/comm") as f:
                if f.read().strip() == "qoragent":
                    return pid
            for task in os.listdir(f"/proc/{pid}/task"):
                with open(f"/proc/{pid}/task/{task}/children") as f:
                    todo += [int(c) for c in f.read().split()]
        except OSError:
            pass
    return p.pid


def free_port():
    """A TCP port free on loopback just now."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def acknowledged(sock):
    """The first fleet sink's (acknowledged, failed) counts; (-1, 0) when none."""
    sink = fleet_sink(sock)
    if not sink:
        return -1, 0
    return sink.get("acknowledged", 0), sink.get("failed", 0)


def start_agent(build, tmp, events, situation, extra_env=None, wrapped=True):
    """Starts the agent in `tmp` on one empty log, tmp/app.log, with the one
    situation line `situation` and HOV_EVENTS `events` (and `extra_env`),
    under BENCH_WRAPPER when `wrapped`; returns once its worker waits on the
    log: (process, control socket, log)."""
    log = os.path.join(tmp, "app.log")
    open(log, "w").close()
    with open(os.path.join(tmp, "agent.conf"), "w") as f:
        f.write(log + "\n")
    with open(os.path.join(tmp, "situations"), "w") as f:
        f.write(situation + "\n")
    sock = os.path.join(tmp, "agent.sock")
    env = dict(os.environ)
    env.pop("JOP_WEX1", None)
    env.update({
        "HOV_EVENTS": events,
        "HOV_TRACE_FILE": os.path.join(tmp, "trace.log"),
        "HOV_SOCKET": sock,
        "HOV_SITUATIONS": os.path.join(tmp, "situations"),
        "TVX_SYSLOG_CONF": os.path.join(tmp, "none.conf"),
        "TVX_JOURNAL_DIR": os.path.join(tmp, "no-journal"),
        "TVX_CONFIG_FILE": os.path.join(tmp, "agent.conf"),
        "HOV_SYSTEM_NAME": "bench:TVX",
    })
    env.update(extra_env or {})
    wrapper = os.environ.get("BENCH_WRAPPER", "").split() if wrapped else []
    agent = subprocess.Popen(wrapper + [os.path.join(build, "agent", "qoragent")],
                             env=env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    ctl = os.path.join(build, "tools", "qorctl")
    deadline = time.monotonic() + 30
    try:
        while time.monotonic() < deadline:
            r = subprocess.run([ctl, "--socket", sock, "--json", "logs"],
                               capture_output=True, text=True)
            if r.returncode == 0 and '"Running"' in r.stdout:
                break
            time.sleep(0.2)
    except BaseException:
        # No qorctl, or interrupted: the agent is not left running.
        agent.kill()
        agent.wait()
        raise
    time.sleep(1.5)  # the worker past its open and into its wait
    return agent, sock, log


def bulk_text(lines):
    """`lines` syslog lines stamped now, numbered, as bytes."""
    stamp = time.strftime("%b %e %H:%M:%S")
    return "".join(
        f"{stamp} benchhost app[{k % 100000}]: request {k} served in {k % 997} ms\n"
        for k in range(lines)).encode()
