#!/usr/bin/env bash
# The service pieces: man pages lint-clean, the systemd unit verified, an
# install into a temporary prefix with exactly the expected files, and the
# Debian package built, unpacked into a fresh root and run from there.
set -euo pipefail
cd "$(dirname "$0")/../.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "-- man pages (mandoc -T lint, groff -ww)"
for page in man/*.[0-9]; do
  mandoc -T lint -W warning "$page"
  out=$(groff -man -ww -z "$page" 2>&1)
  if [ -n "$out" ]; then
    echo "$out"
    exit 1
  fi
done

echo "-- install into a temporary prefix"
# The main build of the CI run, when there is one.
[ -f build/CMakeCache.txt ] || cmake -S . -B build >/dev/null
cmake --build build -j2 >/dev/null
cmake --install build --prefix "$work/prefix" >/dev/null
(cd "$work/prefix" && find . -type f | sort) >"$work/files"
cat >"$work/expected" <<'LIST'
./bin/qorctl
./bin/tvxmapper
./lib/systemd/system/qoragent.service
./sbin/qoragent
./share/man/man1/qorctl.1
./share/man/man1/tvxmapper.1
./share/man/man5/qoragent.conf.5
./share/man/man8/qoragent.8
LIST
# Besides those, only documentation and examples under share/doc/qoragent.
grep -v '^./share/doc/qoragent/' "$work/files" | diff -u "$work/expected" -
for f in qoragent.conf situations README.md; do
  grep -qx "./share/doc/qoragent/$f" "$work/files" || { echo "missing share/doc/qoragent/$f"; exit 1; }
done
"$work/prefix/sbin/qoragent" --version

echo "-- systemd unit (systemd-analyze verify)"
if command -v systemd-analyze >/dev/null; then
  unit="$work/qoragent.service"
  sed "s|^ExecStart=.*|ExecStart=$work/prefix/sbin/qoragent|" \
    "$work/prefix/lib/systemd/system/qoragent.service" >"$unit"
  out=$(systemd-analyze verify --man=no "$unit" 2>&1 || true)
  # A container without a running systemd may add notes about the manager itself.
  out=$(printf '%s\n' "$out" | grep -v -E '^$|Failed to (connect|create bus)|System has not been booted' || true)
  if [ -n "$out" ]; then
    echo "$out"
    exit 1
  fi
else
  echo "systemd-analyze not installed; skipped"
fi

echo "-- Debian package"
cmake -S . -B "$work/deb" -DBUILD_TESTING=OFF -DQOR_PACKAGE=ON -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$work/deb" -j2 >/dev/null
(cd "$work/deb" && cpack -G DEB >/dev/null)
deb=$(ls "$work"/deb/qoragent_*.deb)
dpkg-deb -I "$deb" conffiles | tee "$work/conffiles"
grep -qx /etc/qoragent/qoragent.conf "$work/conffiles"
grep -qx /etc/qoragent/situations "$work/conffiles"
dpkg-deb -f "$deb" Depends
dpkg -x "$deb" "$work/root"
"$work/root/usr/sbin/qoragent" --version
test -f "$work/root/usr/lib/systemd/system/qoragent.service"
echo "service checks passed"
