#!/usr/bin/env bash
# A fleet on one machine: a NATS server (with JetStream) and three agents on
# loopback, each with its own logs, then fleet queries through qorctl. Runs in
# a few seconds and stops everything it started. Build first:
#   cmake -S . -B build && cmake --build build -j2
# Needs nats-server (Debian: apt install nats-server).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
agent=${QORAGENT:-$top/build/agent/qoragent}
qorctl=${QORCTL:-$top/build/tools/qorctl}
server=${NATS_SERVER:-$(command -v nats-server || echo /usr/sbin/nats-server)}
for p in "$agent" "$qorctl" "$server"; do
  [ -x "$p" ] || { echo "fleet/run.sh: $p is not there; build first (or install nats-server)" >&2; exit 2; }
done
dir=$(mktemp -d "${TMPDIR:-/tmp}/qoragent-fleet.XXXXXX")
pids=()
cleanup() {
  # The agents first: each deletes its roster entry as it stops.
  for pid in "${pids[@]:1}" "${pids[0]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$dir"
}
trap cleanup EXIT
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
url=nats://127.0.0.1:$port/demo

"$server" -a 127.0.0.1 -p "$port" -js -sd "$dir/js" -l "$dir/nats.log" &
pids+=($!)
for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done

# On real hosts the same path (/var/log/auth.log, say) names each host's own
# log; on one machine the three agents also watch one shared file standing for
# it, beside an application log of their own.
now=$(date +%s)
for i in 1 2 3; do
  mkdir "$dir/web$i"
  for age in 300 200 100; do
    echo "$(date -d "@$((now - age - i))" '+%b %e %T') web$i sshd[4$i]: Failed password for root from 10.0.0.$i" >>"$dir/auth.log"
    echo "$(date -d "@$((now - age))" '+%b %e %T') web$i shop[7]: order $age served" >>"$dir/web$i/app.log"
  done
  printf '%s\n%s\n' "$dir/auth.log" "$dir/web$i/app.log" >"$dir/web$i/qoragent.conf"
  TVX_CONFIG_FILE="$dir/web$i/qoragent.conf" TVX_SYSLOG_CONF=/nonexistent \
    HOV_FLEET=$url HOV_SYSTEM_NAME=web$i.example:TVX HOV_SOCKET="$dir/web$i/agent.sock" \
    HOV_TRACE_FILE="$dir/web$i/trace.log" HOV_EVENTS="$dir/web$i/events.jsonl" "$agent" &
  pids+=($!)
done
for _ in $(seq 50); do
  [ "$("$qorctl" --fleet "$url" --json hosts 2>/dev/null | wc -l)" -eq 3 ] && break
  sleep 0.1
done

run() {
  echo
  echo "\$ qorctl --fleet $url ${*@Q}"
  "$qorctl" --fleet "$url" "$@" 2>&1 || true
}
run hosts
run logs
run entries "$dir/auth.log" --since -1h --where 'ENTRYDESC ~ "Failed password"'
run --host web2.example:TVX --json entries "$dir/web2/app.log" --since -1h
