"""The agent's control socket from the benchmarks, without a process each time.

A benchmark that waits for a count polls it many times a second; starting
qorctl for each look costs the harness a fifth of a core here, taken from the
agent it measures. One request line on the socket costs almost nothing.
"""
import json
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
