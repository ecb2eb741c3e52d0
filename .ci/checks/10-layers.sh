#!/usr/bin/env bash
# The layers of the build, from the bottom:
#
#   util -> runtime -> control -> rows -> parser -> agent -> table_agents
#            (framework/)          (tables/)          (agent/) (tables/)
#   tools (qorctl) -> util only;  mapper (tvxmapper) -> parser
#   the qoragent program (agent/qoragent.cc) -> everything
#
# A file may include only headers of its own layer or of the layers its
# layer lists below. Fails, naming the file and line, on any other project
# include (a reverse or sideways dependency); system headers are not checked.
# Run from the repository root.
set -euo pipefail

# The layer of a project file (first match wins).
layer_of() {
  case "$1" in
    agent/qoragent.cc) echo program ;;
    util/*) echo util ;;
    framework/control_protocol.* | framework/control_server.* | framework/metrics_server.* | framework/fleet_server.* | framework/zep.*)
      echo control ;;
    framework/*) echo runtime ;;
    tables/*_agent.* | tables/*_manager.cc | tables/load_agents.*) echo table_agents ;;
    tables/*) echo rows ;;
    parser/*) echo parser ;;
    agent/*) echo agent ;;
    tools/*) echo tools ;;
    mapper/*) echo mapper ;;
    *) echo "" ;;
  esac
}

# What each layer may include, besides itself.
declare -A allowed=(
  [util]=""
  [runtime]="util"
  [control]="util runtime"
  [rows]="util runtime"
  [parser]="util runtime"
  [agent]="util runtime control rows parser"
  [table_agents]="util runtime control rows parser agent"
  [tools]="util"
  [mapper]="util runtime parser"
  [program]="util runtime control rows parser agent table_agents"
)

bad=0
while IFS= read -r file; do
  from=$(layer_of "$file")
  [ -n "$from" ] || continue
  while IFS=: read -r line inc; do
    to=$(layer_of "$inc")
    if [ -z "$to" ]; then
      continue
    fi
    if [ "$to" != "$from" ] && [[ " ${allowed[$from]} " != *" $to "* ]]; then
      echo "$file:$line: the $from layer includes \"$inc\" of the $to layer"
      bad=1
    fi
  done < <(grep -n -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" |
           sed -E 's/^([0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1:\2/')
done < <(git ls-files --cached --others --exclude-standard '*.cc' '*.h' | grep -v -E '^(tests|bench)/')
if [ "$bad" -ne 0 ]; then
  echo "layer check failed: move the code down a layer or the dependency up (see the table above)"
  exit 1
fi
echo "layer check: no reverse includes"
