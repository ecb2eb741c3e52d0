#!/usr/bin/env bash
# Compiles every program source (not tests or benchmarks) with clang's
# thread-safety analysis as errors, using the include paths and defines of
# the build in $1 (its compile_commands.json; default: build). Fails on the
# first file whose lock discipline the annotations do not prove.
set -euo pipefail
build=${1:-build}
db=$build/compile_commands.json
if [ ! -f "$db" ]; then
  cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
fi
python3 - "$db" "$(pwd)" <<'PY'
import json, os, shlex, subprocess, sys
db, top = sys.argv[1], sys.argv[2]
failed = 0
count = 0
for entry in json.load(open(db)):
    src = os.path.relpath(entry["file"], top)
    if src.startswith(("tests/", "bench/", "..")) or not src.endswith(".cc"):
        continue
    args = entry.get("arguments") or shlex.split(entry["command"])
    keep = []
    skip = False
    for a in args[1:]:
        if skip:
            skip = False
            continue
        if a in ("-o", "-c"):
            skip = a == "-o"
            continue
        if a == entry["file"] or a.startswith("-W") or a.endswith("ccache"):
            continue
        keep.append(a)
    # The compiler may come after a launcher (ccache): drop everything up to it.
    cmd = ["clang++", "-fsyntax-only", "-Wthread-safety", "-Werror=thread-safety"] + \
        [a for a in keep if not a.endswith(("g++", "c++", "clang++"))] + [entry["file"]]
    count += 1
    r = subprocess.run(cmd, cwd=entry["directory"])
    if r.returncode != 0:
        print(f"thread-safety: {src} failed", flush=True)
        failed += 1
print(f"thread-safety: {count} files checked, {failed} failed")
sys.exit(1 if failed else 0)
PY
