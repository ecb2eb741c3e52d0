#!/bin/bash
# Reports of a syslog log rotated every second while it is written: counts
# the reports whose rows came twice or have a gap, and those that said so
# (an UNREAD line). Usage: report_rotation_stress.sh QORAGENT QORCTL [REPORTS]
# [LINES_PER_10MS] (default 20).
set -u
agent_bin=${1:?qoragent path}
ctl_bin=${2:?qorctl path}
reports=${3:-200}
batch=${4:-20}
dir=$(mktemp -d /tmp/qor-rotation-stress.XXXXXX)
log=$dir/messages
agent_pid=
writer_pid=
cleanup() {
  [ -n "$writer_pid" ] && kill "$writer_pid" 2>/dev/null && wait "$writer_pid" 2>/dev/null
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

: >"$log"
echo "$log" >"$dir/qoragent.conf"
export HOV_EVENTS=$dir/events.jsonl HOV_TRACE_FILE=$dir/trace.log
export HOV_SOCKET=$dir/agent.sock TVX_SYSLOG_CONF=$dir/no-syslog.conf
export TVX_JOURNAL_DIR=$dir/no-journal HOV_SYSTEM_NAME=stress
export TVX_CONFIG_FILE=$dir/qoragent.conf TVX_MAX_ROWS=1000000
"$agent_bin" >"$dir/agent.out" 2>&1 &
agent_pid=$!
for _ in $(seq 100); do
  "$ctl_bin" ping >/dev/null 2>&1 && break
  sleep 0.1
done

# About 100 batches of lines a second, sequence-numbered; every second NAME.4..1
# move up one (NAME.5 is dropped) and NAME becomes NAME.1.
python3 - "$log" "$batch" <<'EOF' &
import os, sys, time
log = sys.argv[1]
batch = int(sys.argv[2])
seq = 0
last = time.time()
while True:
    now = time.time()
    if now - last >= 1.0:
        for k in range(4, 0, -1):
            if os.path.exists(f"{log}.{k}"):
                os.rename(f"{log}.{k}", f"{log}.{k + 1}")
        os.rename(log, log + ".1")
        open(log, "a").close()
        last = now
    stamp = time.strftime("%b %e %H:%M:%S", time.localtime(now))
    with open(log, "a") as f:
        f.write("".join(f"{stamp} h app: seq {seq + i}\n" for i in range(batch)))
    seq += batch
    time.sleep(0.01)
EOF
writer_pid=$!
sleep 4

twice=0 gaps=0 noted=0 silent=0 rows=0
for _ in $(seq "$reports"); do
  "$ctl_bin" --json entries "$log" --since -3s >"$dir/out" 2>"$dir/err"
  read -r dup gap count < <(python3 - "$dir/out" <<'EOF'
import re, sys
seqs = [int(m) for m in re.findall(r'"ENTRYDESC":"seq (\d+)"', open(sys.argv[1]).read())]
unique = set(seqs)
gap = max(unique) - min(unique) + 1 - len(unique) if unique else 0
print(len(seqs) - len(unique), gap, len(seqs))
EOF
)
  rows=$((rows + count))
  note=0
  grep -q "not read" "$dir/err" && note=1
  [ "$dup" -gt 0 ] && twice=$((twice + 1))
  [ "$gap" -gt 0 ] && gaps=$((gaps + 1))
  [ "$note" -eq 1 ] && noted=$((noted + 1))
  if [ $((dup + gap)) -gt 0 ] && [ "$note" -eq 0 ]; then
    silent=$((silent + 1))
  fi
done
echo "reports=$reports rows=$rows with_duplicates=$twice with_gaps=$gaps with_unread_note=$noted wrong_without_note=$silent"
