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
# prepared by another user with links to files the agent would then write).
if [ -n "${QOR_EXAMPLE_DIR:-}" ]; then
  dir=$QOR_EXAMPLE_DIR
  mkdir -p "$dir"
else
  dir=$(mktemp -d "${TMPDIR:-/tmp}/qoragent-example.XXXXXX")
fi
: >>"$dir/messages"
: >>"$dir/app.log"

sed "s|@DIR@|$dir|g" "$top/examples/qoragent.conf.in" >"$dir/qoragent.conf"
cat >&2 <<MSG
qoragent example in $dir (events are printed below as JSON lines; Ctrl-C stops).
Try, from another shell:
  echo "\$(date '+%b %e %T') myhost sshd[42]: Failed password for root" >> $dir/messages
  echo "\$(date '+%F %T') apphost billing: invoice 17 sent" >> $dir/app.log
  $qorctl --socket $dir/agent.sock logs
  $qorctl --socket $dir/agent.sock entries $dir/messages --since -1h --until now
MSG
export TVX_CONFIG_FILE="$dir/qoragent.conf"
export TVX_SYSLOG_CONF="${TVX_SYSLOG_CONF:-/etc/syslog.conf}"
export HOV_SITUATIONS="$top/examples/situations.conf"
export HOV_SOCKET="$dir/agent.sock"
export HOV_TRACE_FILE="${HOV_TRACE_FILE:-$dir/trace.log}"
export HOV_SAMPLE_INTERVAL="${HOV_SAMPLE_INTERVAL:-10}"
exec "$agent"
