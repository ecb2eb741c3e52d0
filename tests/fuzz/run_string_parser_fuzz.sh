#!/usr/bin/env bash
# Builds the StringParser fuzz target with clang's libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer straight from the sources, and runs it.
#   tests/fuzz/run_string_parser_fuzz.sh [seconds] [build-dir]
# Input layout: first byte = trace levels (odd: all), then the format command
# up to the first newline, then the lines to scan.
set -euo pipefail

seconds="${1:-180}"
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
out="${2:-$root/build-fuzz}"
mkdir -p "$out/corpus"

cxx="${CXX_FUZZ:-clang++}"
"$cxx" -std=c++17 -g -O1 -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I "$root" \
  "$here/string_parser_fuzz.cc" "$root"/parser/*.cc "$root/framework/wex1.cc" \
  -lpthread -o "$out/string_parser_fuzz"

# Seeds: commands that compile, each followed by lines that match and fail.
seed() { printf '%s' "$2" > "$out/corpus/seed-$1"; }
seed 1 $'\x01A,"%s %d",source type\nhost 12\n\nhost x\n'
seed 2 $'\x00A,"%3s %d %d:%d:%d %255[^\\n]",month day hour minute second description\nMar 5 07:08:09 disk full\n'
seed 3 $'\x01a , "%(5)*3c%ld%Lx%hd %llu %Lf",ye mo="%+08x" da ho="%-5.2lld" mi="%.3Lf"\n1234 99ff -7 18 2.5\n'
seed 4 $'\x00A,"%[^:]:%*[ ]%[^\\n]",so de=" %c" \nkernel:  panic\n'
seed 5 $'\x01A,"100%% \\"%e\\" %1c%*s",ty="%#10.4e!" cl="%c"\n100% "1e5" xyz\n'
seed 6 $'\x00A,"%d %d",de de=" %\'d"\n1 2000000\n'
seed 7 $'\x01A,"%T %s %[^[:]%{[%d]%}: %[^\\n]",time sy so cl de\n2024-03-15T10:15:00.123+01:00 h a[1]: x\n2024-03-15 10:15:00Z h b: y\n2024-03-15T10:15:00+15:00 h c: z\n'
seed 8 $'\x00A,"%E %Q %r - %s",ti fr so de\n1710497700.25 1710497700123 a - b - c\n-1 x\n'
seed 9 $'\x01A,"%d%{.%[0-9]%}%{ %{%}",se fr\n12.123456789012 \n'

cat > "$out/string_parser.dict" <<'DICT'
"A,\""
"\","
"%d"
"%s"
"%c"
"%["
"%*"
"%("
")"
"%T"
"%E"
"%Q"
"%r"
"%{"
"%}"
"T"
"Z"
"+01:00"
"-0530"
".123456789"
"]"
"^"
"%%"
"\\n"
"\\\""
"%ld"
"%Lf"
"%lld"
"%hx"
"=\""
"year"
"mo"
"description"
"source"
"% +"
"%-0"
"%'"
".256"
"1023"
"1024"
DICT

"$out/string_parser_fuzz" -max_total_time="$seconds" -dict="$out/string_parser.dict" \
  -print_final_stats=1 -artifact_prefix="$out/" "$out/corpus"
