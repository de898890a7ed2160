#!/bin/sh
# The init script and the system unit run the same service the same way: the
# same binary, user and group, runtime directory, made with the same owner and
# mode before each start; the same resource limits, whichever the unit sets;
# and the same stop: the unit's kill signal, then SIGKILL once the unit's stop
# time has passed. Where systemd is the init, the script hands its actions to
# systemctl (init-functions), so the unit shadows it.
# Usage: init_script_test.sh BUILD_DIR SOURCE_DIR
set -u
unit=$1/packaging/zorvandelith.service
script=$1/packaging/zorvandelith.init
tmpfiles=$2/packaging/zorvandelith.tmpfiles
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
expect() {  # WHAT UNIT'S SCRIPT'S
  [ "$2" = "$3" ] || fail "$1: the unit's is [$2], the script's [$3]"
}
unit_value() { sed -n "s/^$1=//p" "$unit" | tail -n 1; }
script_value() { sed -n "s/^$1=//p" "$script"; }

expect "binary" "$(unit_value ExecStart)" "$(script_value binary)"
expect "user" "$(unit_value User)" "$(script_value user)"
expect "group" "$(unit_value Group)" "$(script_value group)"
runtime=$(unit_value Environment | sed -n 's/^XDG_RUNTIME_DIR=//p')
expect "runtime directory" "$runtime" "$(script_value runtime)"
grep -q '^ *if ! XDG_RUNTIME_DIR=$runtime start-stop-daemon --start ' "$script" ||
  fail "the script does not start the service with XDG_RUNTIME_DIR=\$runtime"

# The directory: made before each start by the unit through tmpfiles.d, by
# the script with the same owner and mode, before it starts the service.
grep -qx 'ExecStartPre=+systemd-tmpfiles --create zorvandelith.conf' "$unit" ||
  fail "the unit does not make its directory before each start"
made=$(grep -v '^#' "$tmpfiles")
made_by_script=$(sed -n 's/^ *install -d -o "$user" -g "$group" -m \([0-7]*\) "$runtime".*/\1/p' "$script")
[ -n "$made_by_script" ] || fail "the script does not make \$runtime with the user, group and a mode"
expect "directory made" "$made" "d $runtime $made_by_script $(script_value user) $(script_value group) -"
[ "$(awk '/install -d -o/ { print "directory" } /start-stop-daemon --start/ { print "start" }' "$script" |
  paste -sd' ')" = "directory start" ] || fail "the script does not make the directory before it starts the service"

# The stop: the unit's signal, and SIGKILL after its time.
signal=$(unit_value KillSignal)
timeout=$(unit_value TimeoutStopSec)
expect "stop" "${signal#SIG}/${timeout%s}/KILL" "$(script_value stop_schedule | cut -d/ -f1-3)"
grep -q -- '--stop --quiet --oknodo --retry "$stop_schedule"' "$script" ||
  fail "the script's stop does not follow \$stop_schedule, or fails on a stopped service (--oknodo)"

# Limits: each the unit sets, the script sets to the same value before it
# starts the service, and none the unit leaves alone. The unit's LimitMEMLOCK
# is in bytes, ulimit -l's in KiB.
kib() {
  case $1 in
  *[Kk]) echo "${1%?}" ;;
  *[Mm]) echo $((${1%?} * 1024)) ;;
  *[Gg]) echo $((${1%?} * 1024 * 1024)) ;;
  *) echo $(($1 / 1024)) ;;
  esac
}
for limit in RTPRIO:r MEMLOCK:l; do
  name=${limit%:*} option=${limit#*:}
  in_unit=$(unit_value "Limit$name")
  in_script=$(sed -n "s/^ *ulimit -$option \\([^ ;]*\\).*/\\1/p" "$script")
  if [ -z "$in_unit" ]; then
    [ -z "$in_script" ] || fail "the script sets ulimit -$option $in_script, the unit no Limit$name="
    continue
  fi
  if [ "$in_unit" = infinity ]; then
    in_unit=unlimited
  elif [ "$name" = MEMLOCK ]; then
    in_unit=$(kib "$in_unit")
  fi
  expect "Limit$name= and ulimit -$option" "$in_unit" "$in_script"
  [ "$(awk -v l="ulimit -$option " 'index($0, l) { print "limit" } /start-stop-daemon --start/ { print "start" }' \
    "$script" | paste -sd' ')" = "limit start" ] || fail "the script sets ulimit -$option after it starts the service"
done

grep -qx '\. /lib/lsb/init-functions' "$script" || fail "the script does not hand its actions to systemd where it is the init"
for action in start stop restart force-reload status; do
  grep -Eq "^\\(?([a-z-]+ \\| )*$action( \\| [a-z-]+)*\\)\$" "$script" || fail "the script has no $action action"
done

[ "$failures" -eq 0 ] || exit 1
echo "the init script runs, limits and stops the service as the system unit does"
