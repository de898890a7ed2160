#!/usr/bin/env bash
# The Debian package as an operator gets it: its exact contents and modes,
# stripped binaries linked against the shared C library, compressed manual
# pages, lintian's verdict, and install, reinstall, remove and purge in a
# scratch root leaving exactly what they should.
# Usage: package_test.sh PACKAGE.deb
set -euo pipefail
package=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

expected="-rwxr-xr-x ./etc/init.d/zorvandelith
-rw-r--r-- ./etc/logrotate.d/zorvandelith
-rw-r--r-- ./lib/systemd/system/zorvandelith.service
-rw-r--r-- ./usr/lib/systemd/user/zorvandelith.service
-rw-r--r-- ./usr/lib/sysusers.d/zorvandelith.conf
-rw-r--r-- ./usr/lib/tmpfiles.d/zorvandelith.conf
-rw-r--r-- ./usr/share/doc/zorvandelith/changelog.Debian.gz
-rw-r--r-- ./usr/share/doc/zorvandelith/copyright
-rw-r--r-- ./usr/share/doc/zorvandelith/examples/zorvandelith-peer.service
-rw-r--r-- ./usr/share/bash-completion/completions/rtroot
-rw-r--r-- ./usr/share/lintian/overrides/zorvandelith
-rw-r--r-- ./usr/share/man/man8/zorvandelith.8.gz
-rw-r--r-- ./usr/share/man/man1/rtroot.1.gz
-rw-r--r-- ./usr/share/man/man7/zorvandelith-root.7.gz
-rwxr-xr-x ./usr/bin/rtroot
-rwxr-xr-x ./usr/sbin/zorvandelith"
actual=$(dpkg-deb -c "$package" | awk '$1 !~ /^d/ {print $1, $6}' | sort -k2)
[ "$actual" = "$(sort -k2 <<<"$expected")" ] || fail "package contents differ:"$'\n'"$actual"

dpkg-deb -x "$package" "$work/unpacked"
for program in usr/sbin/zorvandelith usr/bin/rtroot; do
  file "$work/unpacked/$program" | grep -q ', stripped' || fail "$program is not stripped"
done
"$work/unpacked/usr/bin/rtroot" --version | grep -qx 'rtroot [0-9.]*' || fail "the packaged rtroot does not run"
# Each page's title is its first request; a preprocessor line (tbl's '\" t) may stand above it.
for page in man8/zorvandelith.8 man1/rtroot.1 man7/zorvandelith-root.7; do
  gzip -t "$work/unpacked/usr/share/man/$page.gz" || fail "the manual page $page is not gzip"
  title=$(basename "$page" | sed 's/\.\([0-9]\)$/ \1/' | tr '[:lower:]' '[:upper:]')
  zcat "$work/unpacked/usr/share/man/$page.gz" | awk "!/^'/ && !seen++" | grep -q "^\.TH $title" ||
    fail "the manual page $page does not start with its title"
done
grep -q "^ExecStart=/usr/sbin/zorvandelith$" "$work/unpacked/lib/systemd/system/zorvandelith.service" ||
  fail "the system unit does not start the packaged binary"
# rtroot's completion, as bash-completion loads it: its commands, a command's
# options, and the names in the directory it would look at.
complete_rtroot() {
  bash -c 'source /usr/share/bash-completion/bash_completion && source "$1" && shift &&
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*" COMP_POINT=${#COMP_LINE} && _rtroot &&
    echo "${COMPREPLY[*]}"' sh "$work/unpacked/usr/share/bash-completion/completions/rtroot" rtroot "$@"
}
names=$(mktemp -d)
XDG_RUNTIME_DIR=$names "$work/unpacked/usr/sbin/zorvandelith" >/dev/null 2>&1 &
service=$!
PATH=$work/unpacked/usr/bin:$PATH XDG_RUNTIME_DIR=$names rtroot wait Zorvandelith --pid "$service" --timeout 10 ||
  fail "no service to complete names from"
[ "$(complete_rtroot "")" = "list show wait clean" ] || fail "completion of a command: $(complete_rtroot "")"
[ "$(complete_rtroot wait --g)" = "--gone" ] || fail "completion of wait's options: $(complete_rtroot wait --g)"
[ "$(PATH=$work/unpacked/usr/bin:$PATH XDG_RUNTIME_DIR=$names complete_rtroot show Zo)" = Zorvandelith ] ||
  fail "completion of a name: $(PATH=$work/unpacked/usr/bin:$PATH XDG_RUNTIME_DIR=$names complete_rtroot show Zo)"
kill -TERM "$service" && wait "$service" || fail "the service for completion did not end in order"
rm -rf "$names"
# The C library shared, so that its updates reach the service; the C++
# runtime linked in, and its source named.
depends=$(dpkg-deb -f "$package" Depends)
grep -q 'libc6 (>= ' <<<"$depends" || fail "Depends does not name the C library: $depends"
! grep -q 'libstdc++' <<<"$depends" || fail "Depends names the C++ runtime, which is linked in: $depends"
grep -q '^gcc-[0-9]* (= ' <<<"$(dpkg-deb -f "$package" Built-Using)" ||
  fail "Built-Using does not name the C++ runtime's source: $(dpkg-deb -f "$package" Built-Using)"

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
# Directories and the user database a system with systemd has before the
# package comes; what the package depends on is not installed there.
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc/systemd/system" "$root/etc/systemd/user" \
  "$root/var/lib/systemd" "$root/run"
touch "$root/var/lib/dpkg/status"
echo 'root:x:0:0:root:/root:/bin/sh' >"$root/etc/passwd"
echo 'root:x:0:' >"$root/etc/group"
# dpkg's and the maintainer scripts' words only when it failed.
in_root() {
  dpkg --root="$root" --force-script-chrootless --force-not-root --force-depends --log=/dev/null "$@" \
    >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; return 1; }
}
# Besides dpkg's records, the user database's files, which the package's
# system user changes and which Debian leaves as they are on purge.
users='./etc/((passwd|group|shadow|gshadow)-?|\.pwd\.lock)$'
files() { (cd "$root" && find . -path ./var/lib/dpkg -prune -o -type f -print -o -type l -print | grep -Ev "$users" | sort); }
everything() { (cd "$root" && find . -path ./var/lib/dpkg -prune -o -print | grep -Ev "$users" | sort); }
before=$(everything)
# What the system unit's enablement state is recorded in, so that purge
# forgets whatever the operator enables, as deb-systemd-helper does for
# Debian's units. debhelper records a user unit's only on the running system
# (not in another root): .ci/systemd checks that one.
state="./var/lib/systemd/deb-systemd-helper-enabled/zorvandelith.service.dsh-also"
installed=$( (cd "$work/unpacked" && find . -type f) | cat - <(echo "$state") | sort)

in_root -i "$package" || fail "install"
[ "$(files)" = "$installed" ] || fail "install left: $(files)"
grep -qx "/etc/systemd/system/multi-user.target.wants/zorvandelith.service" \
  "$root/var/lib/systemd/deb-systemd-helper-enabled/zorvandelith.service.dsh-also" ||
  fail "the system unit's enablement is not recorded"
in_root -i "$package" || fail "reinstall"
[ "$(files)" = "$installed" ] || fail "reinstall left: $(files)"
grep -qx 'zorvandelith:x:[0-9]*:[0-9]*:.*' "$root/etc/passwd" || fail "install did not add the system user"
# The operator enables the system unit, as systemctl enable does.
mkdir -p "$root/etc/systemd/system/multi-user.target.wants"
ln -s /lib/systemd/system/zorvandelith.service "$root/etc/systemd/system/multi-user.target.wants/"
mkdir -p "$root/run/zorvandelith/rtroot" # names the system service kept
in_root -r zorvandelith || fail "remove"
[ -d "$root/run/zorvandelith" ] || fail "remove took the service's names, which only purge removes"
in_root -P zorvandelith || fail "purge"
[ ! -e "$root/run/zorvandelith" ] || fail "purge left /run/zorvandelith"
[ "$(everything)" = "$before" ] || fail "purge left: $(comm -13 <(echo "$before") <(everything))"

if [ "$failures" -ne 0 ]; then
  echo "$failures package checks failed"
  exit 1
fi
echo "package checks passed"
