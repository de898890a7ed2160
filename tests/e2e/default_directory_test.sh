#!/bin/sh
# As root without a runtime directory of its own (a sudo shell), the service
# and rtroot meet in one root directory: root's own where no system service is
# installed, and the system service's where its package made
# /run/zorvandelith, taken as that directory's owner, so that a second
# instance meets the system service's name. Also how a script waits on a
# given process and for a name to go, a dead holder's included.
#
# Runs in a mount namespace of its own with its own /tmp and /run, so the
# machine's names are never touched; an ordinary user runs it as root of a
# user namespace of its own (there the service's home cannot belong to
# another user, so it is root's). A build chroot grants no user namespace (the
# kernel refuses one to a chrooted process) and an unprivileged container
# often no mount namespace: there it says which it was refused, and why, and
# exits 77 (skipped); CI's other steps run it for real.
# Usage: default_directory_test.sh ZORVANDELITH RTROOT
set -u
if [ "${DEFAULT_DIRECTORY_TEST_INSIDE:-}" != 1 ]; then
  test_program=$0 service=$1 tool=$2
  if [ "$(id -u)" -eq 0 ]; then
    set -- unshare --mount --propagation private
    power="a mount namespace"
  else
    set -- unshare --user --map-root-user --mount --propagation private
    power="a user namespace with a mount namespace"
  fi
  # Asked first with a command that does nothing, so that a refusal is told
  # apart from a failure of the test itself.
  if ! refusal=$("$@" true 2>&1); then
    echo "Skipped: needs $power of its own, which this machine refuses: $refusal"
    exit 77
  fi
  DEFAULT_DIRECTORY_TEST_INSIDE=1 "$@" "$test_program" "$service" "$tool"
  exit $?
fi

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
expect() {  # WHAT EXPECTED ACTUAL
  [ "$2" = "$3" ] || fail "$1: expected [$2], got [$3]"
}

# The binaries first, into a place of the namespace's own: /tmp and /run are
# replaced below, and a build tree may lie under /tmp.
bin=/mnt
# A namespace granted can still be refused mounts (a security module of a
# container's): that too is a power the machine lacks.
mount_tmpfs() {
  refusal=$(mount -t tmpfs tmpfs "$1" 2>&1) && return 0
  echo "Skipped: needs to mount a tmpfs in a mount namespace of its own, which this machine refuses: $refusal"
  exit 77
}
mount_tmpfs "$bin"
cp "$1" "$bin/zorvandelith" && cp "$2" "$bin/rtroot" || exit 1
mount_tmpfs /tmp
mount_tmpfs /run
cd /tmp || exit 1
# With root's powers as sudo leaves them: where real time is granted, memory
# is locked as root before the service takes the owner's identity.
service=$bin/zorvandelith
really_root=false
[ "$(awk '$1 == 0 {print $2}' /proc/self/uid_map)" = 0 ] && really_root=true

# Starts the service in the background, its console and stderr apart; its
# process id in $pid (set here, not read from a subshell, so it can be waited for).
start() {  # TAG
  $service >"/tmp/$1.out" 2>"/tmp/$1.err" &
  pid=$!
}

# One life of the service as root: met by rtroot's defaults, waited for by
# its pid, a second instance refused, and gone after SIGTERM.
one_life() {  # WHERE OWNER
  where=$1 owner=$2
  start first
  "$bin/rtroot" wait Zorvandelith --pid "$pid" --timeout 10 || fail "$where: rtroot wait --pid $pid did not see it"
  expect "$where: rtroot show" 0 "$("$bin/rtroot" show Zorvandelith >/dev/null 2>&1; echo $?)"
  "$bin/rtroot" show Zorvandelith --json | grep -q "\"pid\": $pid," || fail "$where: show --json does not name $pid"
  expect "$where: the entry's owner" "$owner" "$(stat -c %u "$where/Zorvandelith")"
  grep -qx "zorvandelith: root directory $where: registered Zorvandelith" /tmp/first.err ||
    fail "$where: stderr does not say where it registered: $(cat /tmp/first.err)"
  $service >/tmp/second.out 2>/dev/null
  grep -q "^Error nr=5 " /tmp/second.out || fail "$where: a second instance was not refused: $(cat /tmp/second.out)"
  "$bin/rtroot" wait Zorvandelith --gone --timeout 0 2>/tmp/still.err
  expect "$where: wait --gone while it lives" 1 $?
  expect "$where: what the wait says" "rtroot: Zorvandelith: still live in $where within the time" "$(cat /tmp/still.err)"
  kill -TERM "$pid"
  "$bin/rtroot" wait Zorvandelith --gone --timeout 10 || fail "$where: wait --gone after SIGTERM"
  wait "$pid"
  expect "$where: exit status" 0 $?
  expect "$where: show --json of the name gone" absent \
    "$("$bin/rtroot" show Zorvandelith --json 2>/dev/null | sed -n 's/^  "state": "\(.*\)",$/\1/p')"
}

one_life /tmp/rtroot-0 0

mkdir -m 0700 /run/zorvandelith
owner=0
if $really_root; then
  owner=65534
  chown "$owner:$owner" /run/zorvandelith
fi
one_life /run/zorvandelith/rtroot "$owner"
if $really_root; then
  grep -qx "zorvandelith: root directory /run/zorvandelith/rtroot: belongs to user $owner: this process acts as that user" \
    /tmp/first.err || fail "the identity taken is not said: $(cat /tmp/first.err)"
fi

# A holder killed outright: --gone sees its death, which removes nothing, and
# the next start replaces what it left.
start killed
"$bin/rtroot" wait Zorvandelith --pid "$pid" --timeout 10 || fail "the holder to be killed did not register"
kill -KILL "$pid"
"$bin/rtroot" wait Zorvandelith --gone --timeout 10 || fail "wait --gone did not see the holder die"
expect "after the kill" 1 "$("$bin/rtroot" show Zorvandelith >/dev/null 2>&1; echo $?)"
start next
"$bin/rtroot" wait Zorvandelith --pid "$pid" --timeout 10 || fail "the next start did not replace the dead entry"
kill -TERM "$pid"
wait "$pid"

[ "$failures" -eq 0 ] || exit 1
echo "the service and rtroot meet in one directory for root, with and without the system service"
