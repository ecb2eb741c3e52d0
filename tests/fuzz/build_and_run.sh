#!/usr/bin/env bash
# Builds one fuzz target with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer straight from the sources, and runs it.
#   tests/fuzz/build_and_run.sh NAME [seconds] [build-dir]
# NAME_fuzz.cc is the target. Its comment names what it is built from (in
# one or more lines) and any libFuzzer options, in lines of their own:
#   // Built from: parser/*.cc framework/runtime/trace.cc
#   // libFuzzer: -max_len=4097
# The inputs under corpus/NAME/ (seeds and the inputs of crashes once
# found) start the run, so that a crash that comes back fails even a short
# run; NAME.dict, when present, is the dictionary. The corpus the run grows
# stays in the build directory.
set -euo pipefail

name="$1"
seconds="${2:-180}"
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
out="${3:-$root/build-fuzz-$name}"
mkdir -p "$out/corpus" "$out/obj"
out="$(cd "$out" && pwd)"  # a target may change its working directory
target="$here/${name}_fuzz.cc"

setting() { sed -n "s|^// $1: *||p" "$target" | tr '\n' ' '; }
sources=()
for pattern in $(setting "Built from"); do
  for src in "$root"/$pattern; do
    [ "$src" = "$root/agent/qoragent.cc" ] || sources+=("$src")
  done
done

cxx="${CXX_FUZZ:-clang++}"
launcher=()
if command -v ccache > /dev/null; then
  launcher=(ccache)
fi
flags=(-std=c++17 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined
       -fno-sanitize-recover=undefined -I "$root")

# An object is rebuilt when its source or a header it includes changed.
stale() {
  local obj="$1" dep
  [ -f "$obj" ] && [ -f "$obj.d" ] || return 0
  for dep in $(sed -e 's/^[^:]*://' -e 's/\\$//' "$obj.d"); do
    [ "$dep" -nt "$obj" ] && return 0
  done
  return 1
}
objs=()
todo=()
for src in "${sources[@]}"; do
  obj="$out/obj/$(basename "$(dirname "$src")")_$(basename "$src" .cc).o"
  objs+=("$obj")
  if stale "$obj"; then
    todo+=("$src" "$obj")
  fi
done
compile() {
  "${launcher[@]}" "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link \
    -c "$1" -o "$2" -MMD -MF "$2.d"
}
pids=()
for ((i = 0; i < ${#todo[@]}; i += 2)); do
  compile "${todo[i]}" "${todo[i + 1]}" &
  pids+=($!)
  if [ ${#pids[@]} -ge "${QOR_CI_JOBS:-2}" ]; then
    wait "${pids[0]}"
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do
  wait "$pid"
done
# The archive gives the linker only the objects the target needs.
archive=()
rm -f "$out/lib$name.a"
if [ ${#objs[@]} -gt 0 ]; then
  ar rcs "$out/lib$name.a" "${objs[@]}"
  archive=("$out/lib$name.a")
fi
"${launcher[@]}" "$cxx" "${flags[@]}" -fsanitize=fuzzer "$target" "${archive[@]}" \
  -Wl,--as-needed -lre2 -lhs -lsystemd -lz -lnats -lrdkafka -lcurl -lisal -lcivetweb -lpthread \
  -o "$out/${name}_fuzz"

options=(-max_total_time="$seconds" -print_final_stats=1
         -artifact_prefix="$out/")
if [ -f "$here/$name.dict" ]; then
  options+=(-dict="$here/$name.dict")
fi
read -r -a extra <<< "$(setting libFuzzer)"
seeds=()
if [ -d "$here/corpus/$name" ]; then
  seeds+=("$here/corpus/$name")
fi
# New inputs go to the first directory, the build's own.
"$out/${name}_fuzz" "${options[@]}" "${extra[@]}" "$out/corpus" "${seeds[@]}"
