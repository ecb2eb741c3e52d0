#!/usr/bin/env bash
# Builds the syslog-line fuzz target with clang's libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer straight from the sources, and runs it.
#   tests/fuzz/run_syslog_line_fuzz.sh [seconds] [build-dir]
# Input layout: first byte = month and day of "now", then the line.
set -euo pipefail

seconds="${1:-180}"
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
out="${2:-$root/build-fuzz-syslog}"
mkdir -p "$out/corpus"

cxx="${CXX_FUZZ:-clang++}"
"$cxx" -std=c++17 -g -O1 -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I "$root" \
  "$here/syslog_line_fuzz.cc" "$root/agent/syslog_line.cc" "$root/agent/entry_year.cc" \
  "$root/tables/teskal_time.cc" "$root/framework/wex1.cc" "$root"/util/*.cc \
  -lpthread -o "$out/syslog_line_fuzz"

seed() { printf '%s' "$2" > "$out/corpus/seed-$1"; }
seed 1 $'\x05Dec  8 07:08:09 myhost sshd[1]: Failed password for root'
seed 2 $'\x00Jan 1 00:00:00 h kernel: x'
seed 3 $'\x0b2026-03-05T07:08:09.123456+05:30 host app[12]: started'
seed 4 $'\x072026-03-05 07:08:09Z host Microsoft Word[14463]: saved'
seed 5 $'\x03Feb 29 23:59:60 host last message repeated 3 times'
seed 6 $'\x01Mar 31 12:00:00 host syslogd 1.4.1: restart'

cat > "$out/syslog_line.dict" <<'DICT'
"Jan"
"Feb"
"Dec"
"T"
"Z"
"+14:00"
"-12:00"
".999999999"
": "
"["
"]"
"last message repeated "
"2026-"
"1970-01-01"
"9999-12-31"
DICT

"$out/syslog_line_fuzz" -max_total_time="$seconds" -dict="$out/syslog_line.dict" \
  -print_final_stats=1 -artifact_prefix="$out/" "$out/corpus"
