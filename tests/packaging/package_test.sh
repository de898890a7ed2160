#!/usr/bin/env bash
# The Debian package as an operator gets it: its exact contents and modes, a
# stripped binary, a compressed manual page, lintian's verdict, and install,
# reinstall, remove and purge in a scratch root leaving exactly what they should.
# Usage: package_test.sh PACKAGE.deb
set -euo pipefail
package=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

expected="-rw-r--r-- ./lib/systemd/system/zorvandelith.service
-rw-r--r-- ./usr/lib/systemd/user/zorvandelith.service
-rw-r--r-- ./usr/share/doc/zorvandelith/changelog.gz
-rw-r--r-- ./usr/share/doc/zorvandelith/copyright
-rw-r--r-- ./usr/share/doc/zorvandelith/examples/zorvandelith-peer.service
-rw-r--r-- ./usr/share/lintian/overrides/zorvandelith
-rw-r--r-- ./usr/share/man/man8/zorvandelith.8.gz
-rw-r--r-- ./usr/share/man/man1/rtroot.1.gz
-rwxr-xr-x ./usr/bin/rtroot
-rwxr-xr-x ./usr/sbin/zorvandelith"
actual=$(dpkg-deb -c "$package" | awk '$1 !~ /^d/ {print $1, $6}' | sort -k2)
[ "$actual" = "$(sort -k2 <<<"$expected")" ] || fail "package contents differ:"$'\n'"$actual"

dpkg-deb -x "$package" "$work/unpacked"
for program in usr/sbin/zorvandelith usr/bin/rtroot; do
  file "$work/unpacked/$program" | grep -q ', stripped' || fail "$program is not stripped"
done
"$work/unpacked/usr/bin/rtroot" --version | grep -qx 'rtroot [0-9.]*' || fail "the packaged rtroot does not run"
gzip -t "$work/unpacked/usr/share/man/man8/zorvandelith.8.gz" || fail "the manual page is not gzip"
zcat "$work/unpacked/usr/share/man/man8/zorvandelith.8.gz" | head -1 | grep -q '^\.TH ZORVANDELITH 8' ||
  fail "the manual page does not start with its title"
grep -q "^ExecStart=/usr/sbin/zorvandelith$" "$work/unpacked/lib/systemd/system/zorvandelith.service" ||
  fail "the system unit does not start the packaged binary"
[ -z "$(dpkg-deb -f "$package" Depends)" ] || fail "statically linked binaries need no Depends"

if command -v lintian >/dev/null; then
  verdict=0
  lintian --fail-on error,warning "$package" >"$work/lintian" 2>&1 || verdict=$?
  grep -v 'root privileges' "$work/lintian" || true
  [ "$verdict" -eq 0 ] || fail "lintian"
else
  echo "lintian not found: package not judged"
fi

# Maintainer scripts run outside the scratch root with DPKG_ROOT set, as
# Debian runs them when it installs into another root.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
in_root() { dpkg --root="$root" --force-script-chrootless --force-not-root --log=/dev/null "$@" >/dev/null; }
files() { (cd "$root" && find . -path ./var/lib/dpkg -prune -o -type f -print -o -type l -print | sort); }
installed=$(cd "$work/unpacked" && find . -type f | sort)

in_root -i "$package" || fail "install"
[ "$(files)" = "$installed" ] || fail "install left: $(files)"
in_root -i "$package" || fail "reinstall"
[ "$(files)" = "$installed" ] || fail "reinstall left: $(files)"
mkdir -p "$root/run/zorvandelith/rtroot" # names the system service kept
in_root -r zorvandelith || fail "remove"
[ -z "$(files)" ] || fail "remove left: $(files)"
[ -d "$root/run/zorvandelith" ] || fail "remove took the service's names, which only purge removes"
in_root -P zorvandelith || fail "purge"
[ ! -e "$root/run/zorvandelith" ] || fail "purge left /run/zorvandelith"
[ -z "$(cd "$root" && find . -path ./var -prune -o -path ./run -prune -o -print | grep -v '^\.$')" ] ||
  fail "purge left directories"

if [ "$failures" -ne 0 ]; then
  echo "$failures package checks failed"
  exit 1
fi
echo "package checks passed"
