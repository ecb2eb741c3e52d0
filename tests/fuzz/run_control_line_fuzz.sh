#!/usr/bin/env bash
# Builds the control-line fuzz target (control request lines and situations
# lines) with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer from the runtime's sources, and runs it.
#   tests/fuzz/run_control_line_fuzz.sh [seconds] [build-dir]
# Input layout: first byte = reader (even: request line, odd: situations
# line), then the line.
set -euo pipefail

seconds="${1:-180}"
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
out="${2:-$root/build-fuzz-control}"
mkdir -p "$out/corpus" "$out/obj"

cxx="${CXX_FUZZ:-clang++}"
flags=(-std=c++17 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined
       -fno-sanitize-recover=undefined -I "$root")
objs=()
for src in "$root"/framework/*.cc "$root"/util/*.cc; do
  obj="$out/obj/$(basename "$(dirname "$src")")_$(basename "$src" .cc).o"
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ]; then
    "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj"
  fi
  objs+=("$obj")
done
libs=(-lpthread)
# The runtime's regular-expression engines, when it uses them.
if grep -qs "re2/re2.h" "$root"/framework/*.cc "$root"/framework/*.h; then
  libs+=(-lre2)
fi
if grep -qs "<hs/hs.h>\|<hs.h>" "$root"/framework/*.cc "$root"/framework/*.h; then
  libs+=(-lhs)
fi
"$cxx" "${flags[@]}" -fsanitize=fuzzer "$here/control_line_fuzz.cc" "${objs[@]}" "${libs[@]}" \
  -o "$out/control_line_fuzz"

seed() { printf '%s' "$2" > "$out/corpus/seed-$1"; }
seed 1 $'\x00PING'
seed 2 $'\x00REPORT TVX.VXLOGENT WHERE ENTRYSRC == "sshd" AND NUMEVENTS > 3'
seed 3 $'\x00SITUATION ADD disk TVX.VXLOGENT ENTRYDESC ~ "disk" OR ENTRYTYPE != "I"'
seed 4 $'\x00situation del disk'
seed 5 $'\x01logins VXLOGENT LOGNAME == "wtmp" AND ENTRYTYPE == "User process"'
seed 6 $'\x01big TVX.VXMONLOG NUMEVENTS >= 1000 OR (MONSTATUS == "Running" AND LOGSIZE < 5)'
seed 7 $'\x01re VXLOGENT ENTRYDESC =~ "^(a|b)+[0-9]{2,5}$"'

cat > "$out/control_line.dict" <<'DICT'
"PING"
"REPORT"
"SITUATION"
"ADD"
"DEL"
"LIST"
"RELOAD"
"WHERE"
"AND"
"OR"
"NOT"
"=="
"!="
"~"
"=~"
">="
"<="
"("
")"
"\""
"\\\""
"TVX.VXLOGENT"
"VXMONLOG"
"ENTRYDESC"
"PER"
"THROTTLE"
"RUN"
DICT

"$out/control_line_fuzz" -max_total_time="$seconds" -dict="$out/control_line.dict" \
  -max_len=4097 -print_final_stats=1 -artifact_prefix="$out/" "$out/corpus"
