"""The agent from the benchmarks: its control socket without a process each
time, its CPU and pid (under BENCH_WRAPPER too), a free loopback port.

A benchmark that waits for a count polls it many times a second; starting
qorctl for each look costs the harness a fifth of a core here, taken from the
agent it measures. One request line on the socket costs almost nothing.
"""
import json
import os
import socket


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
