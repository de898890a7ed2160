#!/usr/bin/env bash
# The examples README.md, rtroot(1) and docs/worker.md give, run as they are
# written, on the binaries just built, in a root directory of their own, and
# what they print held to what the pages say. Each line below that a page
# gives stands here as the page has it, so tests/docs/check.sh finds it run.
# Usage: examples.sh ZORVANDELITH RTROOT WORKER_SERVICE
set -u
work=$(mktemp -d)
trap 'kill -KILL $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# The programs by the names the pages use: zorvandelith and rtroot on PATH,
# and the worker service where the developer's build puts it.
mkdir -p "$work/bin" "$work/tree/build/dev/tests" "$work/runtime"
chmod 700 "$work/runtime"
ln -s "$(realpath "$1")" "$work/bin/zorvandelith"
ln -s "$(realpath "$2")" "$work/bin/rtroot"
ln -s "$(realpath "$3")" "$work/tree/build/dev/tests/worker_service"
export PATH="$work/bin:$PATH" XDG_RUNTIME_DIR="$work/runtime"
names=$XDG_RUNTIME_DIR/rtroot
whole_life="Zorvandelith started
Zorvandelith finished initialization
Zorvandelith started cleaning up
Zorvandelith finished cleaning up"

# --- rtroot beside a service started without a service manager (README.md,
# "See the names"; rtroot(1), EXAMPLES). The service's lines go to a file.
exec 3>&1 4>&2 >"$work/service.out" 2>"$work/service.err"
zorvandelith & rtroot wait Zorvandelith --pid $! --timeout 5
waited=$?
service=$!
exec >&3 2>&4 3>&- 4>&-
[ "$waited" -eq 0 ] || fail "rtroot wait --pid did not see the service hold its name: status $waited"

# What a dead holder left, and something no kernel wrote.
printf 'rtentry 1 type=2 object=1 pid=1\n' >"$names/Worker"
chmod 600 "$names/Worker"
echo junk >"$names/Leftover"

listed=$(rtroot list)
[ "$(awk 'NR == 1 { print $1, $2, $3, $4, $5 } $1 == "Worker" || $1 == "Zorvandelith" { print $1, $2, $3, $4 }' <<<"$listed")" = \
  "NAME STATE TYPE PID AGE
Worker stale process -
Zorvandelith live process $service" ] || fail "rtroot list: $listed"
shown=$(rtroot show Zorvandelith; echo $?)
[ "$(tail -n 1 <<<"$shown")" = 0 ] || fail "rtroot show of the live name: $shown"
rtroot wait Zorvandelith --timeout 5 || fail "rtroot wait for a live name: status $?"
dry_run=$(rtroot clean --dry-run)
[ "$dry_run" = "left Leftover (damaged): a file that is not a whole entry, which no kernel wrote; rtroot clean Leftover removes it
would remove Worker (stale)" ] || fail "rtroot clean --dry-run: $dry_run"
[ -e "$names/Worker" ] || fail "rtroot clean --dry-run removed Worker"
cleaned=$(rtroot clean Leftover)
[ "$cleaned" = "removed Leftover (damaged)" ] && [ ! -e "$names/Leftover" ] || fail "rtroot clean Leftover: $cleaned"

kill %1; rtroot wait Zorvandelith --gone --timeout 15
gone=$?
[ "$gone" -eq 0 ] || fail "rtroot wait --gone: status $gone"
wait "$service"
status=$?
[ "$status" -eq 0 ] || fail "the service ended with status $status"
[ "$(cat "$work/service.out")" = "$whole_life" ] || fail "the service printed: $(cat "$work/service.out")"
grep -qxF "zorvandelith: root directory $names: registered Zorvandelith" "$work/service.err" ||
  fail "the service did not say where it registered: $(cat "$work/service.err")"
said=$(rtroot show Zorvandelith 2>&1 >/dev/null)
status=$?
[ "$status" -eq 2 ] && [ "$said" = "rtroot: Zorvandelith: no such name in $names" ] ||
  fail "rtroot show of the name once it is gone: status $status, $said"

# --- Both ends of a worker's life (docs/worker.md, "A worked example"), from
# where a developer's build is.
cd "$work/tree"
exec 3>&1 4>&2 >"$work/worker.out" 2>"$work/worker.err"
dir=$(mktemp -d)
XDG_RUNTIME_DIR=$dir build/dev/tests/worker_service ends & sleep 1; kill $!; wait $!
ends=$?
XDG_RUNTIME_DIR=$dir build/dev/tests/worker_service never-ends & sleep 1; kill $!; wait $!
never_ends=$?
rm -r "$dir"
exec >&3 2>&4 3>&- 4>&-
[ "$ends" -eq 0 ] && [ "$never_ends" -eq 0 ] || fail "the worker service ended with $ends and $never_ends"
[ "$(cat "$work/worker.out")" = "$whole_life"$'\n'"$whole_life" ] || fail "the worker service printed: $(cat "$work/worker.out")"
# Only the worker that never ends is named, once, as the process exits.
left=$(grep -c 'worker_service: shutdown: worker slots still full when the wait for workers ran out: 0x[0-9a-f]* (host thread [0-9]*, left running)$' \
  "$work/worker.err")
[ "$left" -eq 1 ] || fail "stderr does not name the worker left running once: $(cat "$work/worker.err")"
[ ! -e "$dir" ] || fail "the worker's root directory stayed: $dir"

if [ "$failures" -ne 0 ]; then
  echo "$failures examples did not do what the pages say"
  exit 1
fi
echo "the examples of README.md, rtroot(1) and docs/worker.md do what the pages say"
