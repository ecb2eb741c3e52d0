#!/usr/bin/env bash
# Every file listed in .ci/formatted-files must be as clang-format (with the
# repository's .clang-format) leaves it. The rest of the tree predates the
# check and is formatted line by line as it is touched (git clang-format);
# once a file is clean, add it to the list:
#   .ci/checks/20-format.sh --list-clean   prints every clean source file.
set -euo pipefail
if [ "${1:-}" = "--list-clean" ]; then
  for f in $(git ls-files '*.cc' '*.h'); do
    if clang-format --style=file "$f" | cmp -s - "$f"; then
      echo "$f"
    fi
  done
  exit 0
fi
bad=0
while IFS= read -r f; do
  case "$f" in '' | '#'*) continue ;; esac
  [ -f "$f" ] || continue  # removed or renamed since it was listed
  if ! clang-format --style=file "$f" | diff -u "$f" - >/tmp/qor-format.$$; then
    echo "$f is not clang-formatted:"
    head -40 /tmp/qor-format.$$
    bad=1
  fi
done < .ci/formatted-files
rm -f /tmp/qor-format.$$
if [ "$bad" -ne 0 ]; then
  echo "format check failed: run clang-format -i --style=file on the files above"
  exit 1
fi
echo "format check: $(grep -c . .ci/formatted-files) files clean"
