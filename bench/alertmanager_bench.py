#!/usr/bin/env python3
"""Alerts kept firing in Alertmanager: what re-sending them costs the agent.

Usage: bench/alertmanager_bench.py BUILD_DIR [--keys N] [--resend S]
                                   [--intervals I] [--receiver count|alertmanager]

One PER situation fires once on each of N distinct keys (10,000 by default),
so that the agent's Alertmanager output keeps N firing alerts (plain alerts,
resolve_after an hour, so none ends during the run). HOV_ALERTMANAGER points
at a counting HTTP receiver on loopback (the default) or at Debian's
prometheus-alertmanager started on a free loopback port. resend_interval is S
seconds (2 by default). Once every alert went out and a full interval passed,
no new line is written; over I intervals (15 by default) the bench measures
the agent's CPU (utime + stime from /proc/PID/stat) and the bytes and posts
the receiver took, and prints them per re-send interval.
BENCH_WRAPPER (e.g. "perf record -g") in the environment wraps the agent.
Goal: under 50 ms of agent CPU per re-send interval with 10,000 alerts.
"""
import argparse
import http.server
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import agent_control


class Counts:
    def __init__(self):
        self.lock = threading.Lock()
        self.posts = 0
        self.bytes = 0
        self.alerts = 0
        self.names = set()


def counting_receiver(port, counts):
    """POST /api/v2/alerts on 127.0.0.1:port, counted, answered 200."""

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            alerts = json.loads(body)
            with counts.lock:
                counts.posts += 1
                counts.bytes += len(body)
                counts.alerts += len(alerts)
                for a in alerts:
                    counts.names.add(a["labels"].get("key", ""))
            self.send_response(200)
            self.send_header("Content-Length", "0")
            self.end_headers()

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def alertmanager_count(port):
    try:
        with urllib.request.urlopen(
                f"http://127.0.0.1:{port}/api/v2/alerts?silenced=false", timeout=30) as r:
            return len(json.load(r))
    except (OSError, ValueError):
        return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("build")
    ap.add_argument("--keys", type=int, default=10000)
    ap.add_argument("--resend", type=int, default=2)
    ap.add_argument("--intervals", type=int, default=15)
    ap.add_argument("--receiver", choices=["count", "alertmanager"], default="count")
    args = ap.parse_args()
    hz = os.sysconf("SC_CLK_TCK")
    with tempfile.TemporaryDirectory(prefix="am-bench-") as tmp:
        port = agent_control.free_port()
        counts = Counts()
        server = None
        am = None
        if args.receiver == "count":
            server = counting_receiver(port, counts)
        else:
            with open(os.path.join(tmp, "am.yml"), "w") as f:
                f.write("route:\n  receiver: none\nreceivers:\n  - name: none\n")
            am = subprocess.Popen(
                ["/usr/bin/prometheus-alertmanager", "--config.file=" + os.path.join(tmp, "am.yml"),
                 "--storage.path=" + os.path.join(tmp, "am-data"),
                 f"--web.listen-address=127.0.0.1:{port}", "--cluster.listen-address="],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        amconf = os.path.join(tmp, "am.conf")
        with open(amconf, "w") as f:
            f.write(f"resend_interval {args.resend}\nresolve_after 3600\n")
        os.chmod(amconf, 0o600)
        agent = None
        try:
            agent, sock, log = agent_control.start_agent(
                args.build, tmp, os.path.join(tmp, "events.jsonl"),
                'login VXLOGENT ENTRYDESC ~ "login" PER ENTRYDESC "user (u[0-9]+)"',
                {"HOV_ALERTMANAGER": f"http://127.0.0.1:{port}",
                 "HOV_ALERTMANAGER_CONFIG": amconf})
            stamp = time.strftime("%b %e %H:%M:%S")
            with open(log, "a") as f:
                f.write("".join(f"{stamp} benchhost sshd[1]: login of user u{k}\n"
                                for k in range(args.keys)))

            def firing():
                for sink in agent_control.ping(sock).get("fleet_sinks") or []:
                    return sink.get("firing", 0)
                return 0

            deadline = time.monotonic() + 120
            while firing() < args.keys and time.monotonic() < deadline:
                time.sleep(0.5)
            if firing() < args.keys:
                sys.exit(f"only {firing()} of {args.keys} alerts firing")
            time.sleep(args.resend + 1)  # past a full re-send
            pid = agent_control.agent_pid(agent)
            with counts.lock:
                p0, b0, a0 = counts.posts, counts.bytes, counts.alerts
            c0, t0 = agent_control.cpu_ticks(pid), time.monotonic()
            time.sleep(args.resend * args.intervals)
            c1, t1 = agent_control.cpu_ticks(pid), time.monotonic()
            with counts.lock:
                p1, b1, a1 = counts.posts, counts.bytes, counts.alerts
            intervals = (t1 - t0) / args.resend
            cpu_ms = (c1 - c0) * 1000.0 / hz / intervals
            print(f"keys {args.keys}  resend_interval {args.resend} s  receiver {args.receiver}  "
                  f"measured {t1 - t0:.1f} s = {intervals:.1f} intervals")
            print(f"agent CPU per re-send interval: {cpu_ms:.1f} ms "
                  f"({(c1 - c0) * 1000.0 / hz:.0f} ms in all)")
            if server is not None:
                print(f"per interval: {(b1 - b0) / intervals / 1e6:.2f} MB in "
                      f"{(p1 - p0) / intervals:.0f} posts, {(a1 - a0) / intervals:.0f} alerts "
                      f"({(b1 - b0) / max(1, a1 - a0):.0f} bytes each)")
            else:
                print(f"Alertmanager shows {alertmanager_count(port)} alerts")
            print("goal: under 50 ms per interval:", "met" if cpu_ms < 50 else "NOT met")
        finally:
            # Whatever failed, nothing is left running.
            if agent is not None:
                agent.terminate()
                agent.wait(timeout=30)
            if server is not None:
                server.shutdown()
            if am is not None:
                am.terminate()
                am.wait(timeout=30)


if __name__ == "__main__":
    main()
