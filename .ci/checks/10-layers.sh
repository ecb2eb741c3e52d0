#!/usr/bin/env bash
# The layers of the build, as the CMakeLists.txt files declare them: every
# folder with a CMakeLists.txt that calls qor_library() is one layer (one
# library), and the library's DEPS are the layers below it. A program
# (add_executable) is a layer of its own sources, above the libraries it
# links. A file belongs to the program that lists it, else to the library of
# the deepest folder holding it.
#
# Fails, naming what is wrong, when
#   - a folder holds more than one library (its layers are not visible);
#   - the libraries' DEPS run in a circle;
#   - a file includes a project header of a layer that is not below its own
#     (directly or through DEPS): an include that runs up or sideways.
#   - a file includes a project file of a folder above its own in ORDER,
#     unless the pair is named in BACK_REFERENCES with its reason; or a
#     named back-reference no longer occurs (so that the list stays true).
# System headers, tests/ and bench/ are not checked. Run from the
# repository root.
set -euo pipefail

# One line per unit, from every CMakeLists.txt outside tests/, bench/ and
# packaging/:  lib NAME FOLDER : DEPS...   or   exe NAME FOLDER SOURCES... : LIBS...
units() {
  git ls-files --cached --others --exclude-standard '*CMakeLists.txt' |
    grep -v -E '^(CMakeLists.txt|(tests|bench|packaging)/)' |
    while IFS= read -r cm; do
      perl -0777 -ne '
        my $dir = $ARGV; $dir =~ s{/?CMakeLists\.txt$}{};
        s/#[^\n]*//g;
        my %links;
        while (/target_link_libraries\(\s*(\w+)([^)]*)\)/g) {
          $links{$1} .= " " . join(" ", grep { /^qor_/ } split " ", $2);
        }
        while (/qor_library\(\s*(\w+)([^)]*)\)/g) {
          my ($name, $args) = ($1, $2);
          my @deps = $args =~ /DEPS\s+(.*)/s ? grep { /^qor_/ } split " ", $1 : ();
          print "lib $name $dir : @deps\n";
        }
        while (/add_executable\(\s*(\w+)([^)]*)\)/g) {
          my ($name, @srcs) = ($1, split " ", $2);
          print "exe $name $dir @srcs :$links{$name}\n";
        }' "$cm"
    done
}

declare -A lib_dir deps unit_of_file lib_of_dir
fail=0
while read -r kind name dir rest; do
  if [ "$kind" = lib ]; then
    if [ -n "${lib_of_dir[$dir]:-}" ]; then
      echo "$dir/ holds two layers, ${lib_of_dir[$dir]} and $name: give each its own folder"
      fail=1
    fi
    lib_of_dir[$dir]=$name
    lib_dir[$name]=$dir
    deps[$name]=${rest#:}
  else
    srcs=${rest%%:*}
    deps[$name]=${rest#*:}
    for s in $srcs; do
      unit_of_file["$dir/$s"]=$name
    done
  fi
done < <(units)

# The layer of a project file: its program's, else its deepest folder's.
unit_of() {
  local f="$1" d
  if [ -n "${unit_of_file[$f]:-}" ]; then
    echo "${unit_of_file[$f]}"
    return
  fi
  d=$(dirname "$f")
  while [ "$d" != . ]; do
    if [ -n "${lib_of_dir[$d]:-}" ]; then
      echo "${lib_of_dir[$d]}"
      return
    fi
    d=$(dirname "$d")
  done
}

# Every layer below each one (through DEPS), failing on a circle.
declare -A below state
walk() {
  local u="$1" d acc=""
  case "${state[$u]:-}" in
    done) return ;;
    busy)
      echo "the layers run in a circle through $u (see the DEPS in ${lib_dir[$u]:-?}/CMakeLists.txt)"
      fail=1
      return ;;
  esac
  state[$u]=busy
  for d in ${deps[$u]:-}; do
    walk "$d"
    acc+=" $d ${below[$d]:-}"
  done
  below[$u]=" $(tr ' ' '\n' <<< "$acc" | sort -u | tr '\n' ' ') "
  state[$u]=done
}
for u in "${!deps[@]}"; do
  walk "$u"
done

while IFS= read -r file; do
  from=$(unit_of "$file")
  [ -n "$from" ] || continue
  while IFS=: read -r line inc; do
    [ -f "$inc" ] || continue
    to=$(unit_of "$inc")
    if [ -n "$to" ] && [ "$to" != "$from" ] && [[ "${below[$from]:-}" != *" $to "* ]]; then
      echo "$file:$line: $from includes \"$inc\" of $to, which is not below it"
      fail=1
    fi
  done < <(grep -n -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" |
           sed -E 's/^([0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1:\2/')
done < <(git ls-files --cached --others --exclude-standard '*.cc' '*.h' | grep -v -E '^(tests|bench)/')

# The folders, bottom to top. A library may span several folders (qor_runtime
# is framework/{runtime,tables,situations,events,fleet}, qor_agent is
# agent/{follow,config,kinds} and agent/ itself); a file belongs to the
# deepest folder of this list that holds it, and includes only files of its
# own folder or of folders before it.
ORDER=(
  util
  tools
  framework/runtime
  framework/tables
  framework/situations
  framework/events
  framework/fleet
  framework/control
  tables
  parser
  agent/follow
  agent/config
  agent/kinds
  agent
  table_agents
  mapper
)
# Includes that run up a folder and must stay for now, each with its reason:
#   "including file|included file|reason"
BACK_REFERENCES=(
  "framework/tables/table_manager.h|framework/situations/situation_prefilter.h|a table manager holds the prefilter that picks the situations a row is offered to, by value under its lock"
  "framework/tables/request.cc|framework/events/event_sink.h|a request (vandu) writes the events of its situation to the sink when it fires, clears or is suppressed"
  "framework/tables/row_json.cc|framework/events/event_output.h|row JSON writes its time stamps with the outputs' RFC 3339 conversion (StampToRfc3339), one rule for every output"
  "framework/situations/action_runner.cc|framework/events/event_sink.h|an action runs for an event: the runner reads the Event_Record the sink hands it (its situation, command and fields)"
  "framework/tables/request.cc|framework/situations/situation_memory.h|a request offers each row of a situation that remembers (pair, absence, clear rule) to its per-key state, as it offers the rows of plain situations to their thresholds"
  "framework/situations/situation_memory.cc|framework/events/event_sink.h|the memory of a situation writes the events its timers raise (a pair that timed out, an absence) to the sink, as a request does"
  "framework/events/event_output.cc|framework/fleet/alertmanager_output.h|the outputs of the sink include one per Alertmanager of HOV_ALERTMANAGER, built beside those of HOV_EVENTS"
  "framework/events/event_output.cc|framework/fleet/fleet_output.h|the outputs list (HOV_EVENTS) names the fleet outputs too (kafka://, nats://) and builds them"
  "agent/config/valid_log.cc|agent/kinds/journal_file.h|a journal entry is checked by the journal kind's own rule (Journal_File::jlCheckConfig)"
)

declare -A rank_of_folder allowed used
for i in "${!ORDER[@]}"; do
  rank_of_folder[${ORDER[$i]}]=$i
done
for entry in "${BACK_REFERENCES[@]}"; do
  IFS='|' read -r from to why <<< "$entry"
  allowed["$from|$to"]=$why
done
# The folder of ORDER that holds a file (the deepest), or nothing.
folder_of() {
  local d
  d=$(dirname "$1")
  while [ "$d" != . ]; do
    if [ -n "${rank_of_folder[$d]:-}" ]; then
      echo "$d"
      return
    fi
    d=$(dirname "$d")
  done
}
# A program's own sources are checked above, as the program's layer.
while IFS= read -r file; do
  [ -z "${unit_of_file[$file]:-}" ] || continue
  from=$(folder_of "$file")
  [ -n "$from" ] || continue
  while IFS=: read -r line inc; do
    [ -f "$inc" ] || continue
    to=$(folder_of "$inc")
    [ -n "$to" ] || continue
    if [ "${rank_of_folder[$to]}" -gt "${rank_of_folder[$from]}" ]; then
      if [ -n "${allowed["$file|$inc"]:-}" ]; then
        used["$file|$inc"]=1
      else
        echo "$file:$line: includes \"$inc\" of $to/, a folder above $from/ (see ORDER)"
        fail=1
      fi
    fi
  done < <(grep -n -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" |
           sed -E 's/^([0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1:\2/')
done < <(git ls-files --cached --others --exclude-standard '*.cc' '*.h' | grep -v -E '^(tests|bench)/')
for key in "${!allowed[@]}"; do
  if [ -z "${used[$key]:-}" ]; then
    echo "BACK_REFERENCES names ${key%%|*} including ${key#*|}, which no longer happens: drop it"
    fail=1
  fi
done

if [ "$fail" -ne 0 ]; then
  echo "layer check failed: one folder per library, DEPS without circles, includes only downwards"
  exit 1
fi
echo "layer check: ${#lib_dir[@]} layers in their own folders, no circle, no include running up" \
  "(${#ORDER[@]} folders in order, ${#BACK_REFERENCES[@]} named back-references)"
