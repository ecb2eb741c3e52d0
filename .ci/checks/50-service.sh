#!/usr/bin/env bash
# The service pieces: man pages lint-clean, the systemd unit verified, an
# install into a temporary prefix with exactly the expected files, and the
# Debian package built, unpacked into a fresh root and run from there, its
# maintainer scripts run against that root, and lintian without errors.
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
./share/bash-completion/completions/qorctl
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
  sed "s|^\(Exec[A-Za-z]*=\)[^ ]*/sbin/qoragent|\1$work/prefix/sbin/qoragent|" \
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
root=$work/root
"$root/usr/sbin/qoragent" --version
"$root/usr/bin/qorctl" --version
unit=$root/usr/lib/systemd/system/qoragent.service
test -f "$unit"
grep -qx 'ExecReload=/usr/sbin/qoragent --check' "$unit"
grep -qx 'Environment=HOV_TRACE_PREFIX=syslog' "$unit"

echo "-- package files"
for f in usr/share/doc/qoragent/copyright usr/share/doc/qoragent/changelog.gz \
  usr/share/man/man1/qorctl.1.gz usr/share/man/man1/tvxmapper.1.gz \
  usr/share/man/man5/qoragent.conf.5.gz usr/share/man/man8/qoragent.8.gz \
  usr/share/bash-completion/completions/qorctl; do
  test -f "$root/$f" || { echo "missing /$f"; exit 1; }
done
gzip -t "$root"/usr/share/man/man*/*.gz "$root/usr/share/doc/qoragent/changelog.gz"
if find "$root/usr/share/man" -type f ! -name '*.gz' | grep .; then
  echo "man pages not compressed"
  exit 1
fi
for b in usr/sbin/qoragent usr/bin/qorctl usr/bin/tvxmapper; do
  if readelf -S "$root/$b" | grep -qE '\.symtab|\.debug_'; then
    echo "/$b is not stripped"
    exit 1
  fi
done
if dpkg-deb -f "$deb" Maintainer | grep -q localhost; then
  echo "maintainer at localhost"
  exit 1
fi
[ "$(dpkg-deb -f "$deb" Description | wc -l)" -gt 2 ] || { echo "no long description"; exit 1; }
# The shipped situations load (what the shipped configuration watches
# depends on the host: a log of it may be refused here).
TVX_CONFIG_FILE=$root/etc/qoragent/qoragent.conf HOV_SITUATIONS=$root/etc/qoragent/situations \
  "$root/usr/sbin/qoragent" --check >"$work/check" || true
cat "$work/check"
if grep -q "refused: $root/etc/qoragent/situations" "$work/check"; then
  echo "the shipped situations do not load"
  exit 1
fi

echo "-- maintainer scripts against the unpacked root"
# The systemd tools are stand-ins that record their calls; DPKG_ROOT points
# the scripts at the unpacked root.
dpkg-deb -e "$deb" "$work/control"
mkdir -p "$work/stubs"
for tool in deb-systemd-helper deb-systemd-invoke systemctl; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$work/calls" >"$work/stubs/$tool"
  chmod +x "$work/stubs/$tool"
done
script() { PATH="$work/stubs:$PATH" DPKG_ROOT=$root sh "$work/control/$1" "$2"; }
mkdir -p "$root/run/systemd/system" "$root/var/lib/qoragent" "$root/var/log/qoragent"
: >"$work/calls"
script postinst configure
grep -qx 'deb-systemd-helper enable qoragent.service' "$work/calls"
grep -qx 'deb-systemd-invoke start qoragent.service' "$work/calls"
script prerm remove
grep -qx 'deb-systemd-invoke stop qoragent.service' "$work/calls"
script postrm remove
test -d "$root/var/lib/qoragent" && test -d "$root/var/log/qoragent"
script postrm purge
grep -qx 'deb-systemd-helper purge qoragent.service' "$work/calls"
if [ -e "$root/var/lib/qoragent" ] || [ -e "$root/var/log/qoragent" ]; then
  echo "purge left the agent's directories"
  exit 1
fi
# Where systemd does not run, nothing is started or stopped.
rm -r "$root/run/systemd"
: >"$work/calls"
script postinst configure
script prerm remove
if grep -q deb-systemd-invoke "$work/calls"; then
  echo "a unit was started or stopped without systemd"
  exit 1
fi

echo "-- lintian"
lintian --fail-on error "$deb"
echo "service checks passed"
