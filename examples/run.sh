#!/usr/bin/env bash
# Runs qoragent on the bundled example: two logs in a private working
# directory, the example situations, events on standard output. Stop it with
# Ctrl-C. Build first: cmake -S . -B build && cmake --build build -j2
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
agent=${QORAGENT:-$top/build/agent/qoragent}
qorctl=${QORCTL:-$top/build/tools/qorctl}
if [ ! -x "$agent" ]; then
  echo "run.sh: $agent is not built; run: cmake -S . -B build && cmake --build build -j2" >&2
  exit 2
fi
# A private directory of its own each run (a fixed name under /tmp could be
# prepared by another user with links to files the agent would then write),
# removed again when the example ends.
if [ -n "${QOR_EXAMPLE_DIR:-}" ]; then
  dir=$QOR_EXAMPLE_DIR
  mkdir -p "$dir"
  made_dir=
else
  dir=$(mktemp -d "${TMPDIR:-/tmp}/qoragent-example.XXXXXX")
  made_dir=$dir
fi
pid=
finish() {
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  if [ -n "$made_dir" ]; then
    rm -rf "$made_dir"
  fi
}
trap finish EXIT
trap 'exit 130' INT TERM
: >>"$dir/messages"
: >>"$dir/app.log"

sed "s|@DIR@|$dir|g" "$top/examples/qoragent.conf.in" >"$dir/qoragent.conf"
export TVX_CONFIG_FILE="$dir/qoragent.conf"
export TVX_SYSLOG_CONF="${TVX_SYSLOG_CONF:-/etc/syslog.conf}"
export HOV_SITUATIONS="$top/examples/situations.conf"
export HOV_SOCKET="$dir/agent.sock"
export HOV_TRACE_FILE="${HOV_TRACE_FILE:-$dir/trace.log}"
export HOV_SAMPLE_INTERVAL="${HOV_SAMPLE_INTERVAL:-10}"
"$agent" &
pid=$!
# A few sample lines once the agent answers, so that events show at once.
for _ in $(seq 1 100); do
  if "$qorctl" --socket "$dir/agent.sock" ping >/dev/null 2>&1; then
    break
  fi
  if ! kill -0 "$pid" 2>/dev/null; then
    wait "$pid" || exit $?
    exit 1
  fi
  sleep 0.1
done
now=$(date '+%b %e %T')
for n in 1 2 3; do
  echo "$now myhost sshd[42]: Failed password for root from 192.0.2.$n port 22 ssh2" >>"$dir/messages"
done
echo "$(date '+%F %T') apphost billing: invoice 17 sent" >>"$dir/app.log"
cat >&2 <<MSG
qoragent example in $dir (events are printed on standard output as JSON lines;
Ctrl-C stops it and removes the directory). Four sample lines were written; add more
from another shell:
  echo "\$(date '+%b %e %T') myhost sshd[42]: Failed password for root" >> $dir/messages
  echo "\$(date '+%F %T') apphost billing: invoice 18 sent" >> $dir/app.log
  $qorctl --socket $dir/agent.sock logs
  $qorctl --socket $dir/agent.sock entries $dir/messages --since -1h --until now
MSG
wait "$pid"
