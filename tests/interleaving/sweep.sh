#!/usr/bin/env bash
# The root directory's promise under every interleaving of its parties. One
# party is swept: strace stops it (SIGSTOP) or kills it (SIGKILL) at each of its
# system calls in turn, found from a dry run without the others, while the
# others run; then the round's invariants are checked. A point the swept party
# did not reach fails: it was not tested.
#
# Scenarios, named SWEPT-OTHER, and the things they sweep over (KINDS):
#   start-clean clean-start start-start start-stop stop-start stop-clean
#       the swept party is stopped at a call, the other runs to its end, the
#       swept one goes on. Kinds: what stands at the name (nothing, a live
#       entry, a stale one, a damaged one, a symlink, a FIFO, a socket, a
#       directory).
#   killed-start
#       a start is killed at a call; then another start runs. Same kinds.
#   stopped-killed
#       three parties: a stale entry, start A stopped at a call, start B killed
#       at a call, then A goes on. Not every call of A's registration, which
#       would take over four times the rounds, beyond CI's time: A is stopped
#       at each of its lock, link, unlink and stat calls made outside the change
#       lock (inside it B can only wait for A, and the kill of a waiting B is
#       the kill before its first lock). B's calls are found by a dry run
#       beside A stopped there.
#   removal-start removal-stop
#       a start, or the stop of a holder, is stopped at a call, the root
#       directory (rm-root) or the entry (rm-entry) is removed, and in the
#       -then-start kinds another start runs; then the party goes on and the
#       holders have 1.5 s to settle.
#   look-start look-stop
#       `rtroot list`, `show`, `wait --timeout 0` or `clean --dry-run` is
#       stopped at a call while a start or a stop runs; the directory also holds
#       things that are not the kernel's (an execute-only script, a symlink, a
#       FIFO). Looking changes nothing.
#   foreign
#       no sweep: every rtroot command pointed at a copy of an ordinary
#       directory must change nothing and say it is not a root directory; in a
#       root directory, looking at the user's own things changes nothing.
#
# A killed party is killed at each call that leaves a trace: one that changes
# the directory (mkdir, a create, link, unlink, rename, chmod, a write) or
# prints a line. Its locks and descriptors all go with it, and while it runs
# the others are stopped or not yet begun, so a kill anywhere between two such
# calls leaves what a kill at the next one leaves: every call is covered, in a
# fraction of the rounds (the three-party sweep would take some 700 rather than
# 130). SWEEP_EVERY_CALL=1 kills at every call all the same.
#
# The invariants, after every round:
#   - at most one live holder, and the name reads live for it (its own pid);
#   - nobody removed a live holder's entry (its stop removes its own name);
#   - a start fails only while a live holder exists (or a directory, which is
#     never removed, stands at the name: nr=16);
#   - every service not killed ends in order (its last line says it finished
#     cleaning up) with exit 0, within its bound;
#   - a clean removes no thing at the name that is not a dead entry;
#   - once everything has stopped, nothing is left but what was placed there,
#     the directory's mark, and what killed parties left: their dead entries,
#     and work files, which a start sweeps once they are a minute old (they
#     are aged and a start is run to show it);
#   - looking changed nothing: names, types, modes, owners, sizes, link
#     targets and contents of regular files are as before, but for the name
#     the other party may change.
#
# Usage: sweep.sh SERVICE RTROOT PLACE_AT_NAME [SCENARIO...]
set -uo pipefail

service=$1
rtroot=$2
placer=$3
shift 3
all_scenarios=(foreign start-clean clean-start start-start start-stop stop-start stop-clean
  killed-start stopped-killed removal-start removal-stop look-start look-stop)
scenarios=("$@")
[ ${#scenarios[@]} -gt 0 ] || scenarios=("${all_scenarios[@]}")
read -ra name_kinds <<<"${SWEEP_KINDS:-nothing live stale damaged symlink fifo socket directory}"
removals=(rm-root rm-entry rm-root-then-start rm-entry-then-start)
lookers=(list show wait dry-clean)

command -v strace >/dev/null || {
  echo "sweep: strace is needed to stop a party at each system call" >&2
  exit 1
}
# Parties killed on purpose are no news: the shell's notes of them are dropped.
exec 2> >(grep --line-buffered -v '^[^ ]*: line [0-9]*: *[0-9]* Killed ' >&2)
work=$(mktemp -d "${TMPDIR:-/tmp}/sweep.XXXXXX")
dir=$work/run
root=$dir/rtroot
template=$work/adopted
name=Zorvandelith
mark=.root-directory
bound=10 # seconds any one party may take
settle=1.5 # seconds a holder has to notice its entry gone
failures=0
rounds=0
unreached=0
label=""

# The round's services, one folder each (pid, launcher, out, err, and marks
# of their role), so that each check names the service it reads.
services=0
svc=$work/services

cleanup() {
  local i pid
  for ((i = 0; i < services; i++)); do
    pid_of "$i" pid && ours "$pid" && kill -KILL "$pid" 2>/dev/null
  done
  pkill -KILL -P $$ 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT # so that a sweep told to end still cleans up

# A round fails once, whatever number of its invariants it breaks.
failed_label=""
fail() {
  echo "FAIL [$label]: $*"
  [ "$label" = "$failed_label" ] && return
  failed_label=$label
  failures=$((failures + 1))
}

# Whether a process is one of this sweep's: a number it started may have been
# reaped and handed to someone else's process since, which must never be
# signalled or taken for the sweep's own.
# Read with builtins, as these are asked all the time: the commands' names
# (zorvandelith, strace, timeout, rtroot) hold no spaces.
ours() {
  local pid=$1 stat=() _
  for _ in 1 2 3; do # the party, strace, timeout: at most three below this shell
    read -ra stat 2>/dev/null <"/proc/$pid/stat" || return 1
    pid=${stat[3]}
    [ "$pid" = $$ ] && return 0
  done
  return 1
}
alive() {
  local stat=()
  ours "$1" && read -ra stat 2>/dev/null <"/proc/$1/stat" && [ "${stat[2]}" != Z ]
}
gone() { ! alive "$1"; }
resume() { ours "$1" && kill -CONT "$1"; }

# Time in microseconds, and a pause that forks nothing: a read that waits on
# a pipe nobody writes to.
now_us() { local t=${EPOCHREALTIME/./}; echo $((10#$t)); }
exec {never}<> <(:)
pause() { read -r -t "$1" -u "$never" || true; }

# Waits, polling, until the command succeeds or LIMIT seconds (a decimal) pass.
within() {
  local limit=$1
  shift
  local deadline=$(($(now_us) + $(awk -v s="$limit" 'BEGIN { printf "%d", s * 1000000 }')))
  until "$@"; do
    [ "$(now_us)" -lt $deadline ] || return 1
    pause 0.005
  done
}

# --- The round's services -------------------------------------------------

pid_of() { read -r "$2" <"$svc/$1/pid" 2>/dev/null; }
is() { [ -e "$svc/$1/$2" ]; }
mark_as() { : >"$svc/$1/$2"; }
said() { tr '\n' '|' <"$svc/$1/out"; }
started() { grep -q 'finished initialization' "$svc/$1/out"; }
started_or_gone() { grep -q 'finished initialization' "$1" || ! alive "$2"; }

# The traced process behind a strace, once it has made its first call.
tracee_of() {
  local log=$1
  within 5 test -s "$log" || return 1
  awk 'NR == 1 { print $1; exit }' "$log"
}

# Launches a service, plain or under strace with the given options, and sets
# the variable named first to its index. (A name reference sees the caller's
# variable only where no local has its name: these locals have odd names.)
launch_service() {
  local -n launched_index=$1
  shift
  local new=$services new_at=$svc/$services
  services=$((services + 1))
  mkdir -p "$new_at"
  : >"$new_at/out"
  if [ $# -gt 0 ]; then
    XDG_RUNTIME_DIR=$dir strace -o "$new_at/trace" "$@" -- "$service" >"$new_at/out" 2>"$new_at/err" &
    echo $! >"$new_at/launcher"
    tracee_of "$new_at/trace" >"$new_at/pid"
  else
    XDG_RUNTIME_DIR=$dir "$service" >"$new_at/out" 2>"$new_at/err" &
    echo $! >"$new_at/launcher" && echo $! >"$new_at/pid"
  fi
  launched_index=$new
}

# Waits until service i prints its last start-up line or ends.
settle_start() {
  local i=$1 pid
  pid_of "$i" pid
  within $bound started_or_gone "$svc/$i/out" "$pid" || {
    fail "start $i did not end its start-up within ${bound}s"
    return 1
  }
}

# Reaps a service that has ended and keeps its exit status.
reap() {
  local i=$1 launcher
  [ -e "$svc/$i/status" ] && return
  read -r launcher <"$svc/$i/launcher"
  wait "$launcher" 2>/dev/null
  echo $? >"$svc/$i/status"
}

stop_service() {
  local i=$1 pid launcher
  pid_of "$i" pid
  alive "$pid" && kill -TERM "$pid" 2>/dev/null
  within $bound gone "$pid" || {
    fail "service $i did not stop within ${bound}s"
    read -r launcher <"$svc/$i/launcher"
    ours "$pid" && kill -KILL "$pid" 2>/dev/null
    ours "$launcher" && kill -KILL "$launcher" 2>/dev/null
  }
  reap "$i"
}

kill_service() {
  local i=$1 pid
  pid_of "$i" pid
  ours "$pid" && kill -KILL "$pid"
  reap "$i"
  mark_as "$i" killed
}

# --- Placing: the root directory and what stands at the name ----------------

# The directory as the kernel left it after adopting an empty one: made once,
# copied for every round, so that a thing placed at the name lies in a root
# directory the kernel already calls its own.
make_template() {
  local i
  mkdir -p "$dir" && mkdir -m 700 "$template"
  cp -a "$template" "$root"
  launch_service i
  settle_start "$i" && stop_service "$i"
  cp -a "$root/." "$template/"
  [ -z "$(entries_of "$template")" ] || {
    echo "sweep: an adopted root directory holds more than its mark: $(entries_of "$template")" >&2
    exit 1
  }
}

# What a root directory holds but its mark.
entries_of() { find "$1" -mindepth 1 -maxdepth 1 ! -name "$mark" -printf '%f\n'; }

fresh() {
  local i pid
  for ((i = 0; i < services; i++)); do
    pid_of "$i" pid && ours "$pid" && kill -KILL "$pid" 2>/dev/null
    reap "$i"
  done
  services=0
  rm -rf "$svc" "$dir" "$work"/*.log "$work"/look.* "$work"/clean.*
  mkdir -p "$svc" && mkdir -m 700 "$dir" && cp -a "$template" "$root"
}

place() {
  local kind=$1 traced=("${@:2}") i
  case $kind in
    nothing) ;;
    live)
      launch_service i "${traced[@]}"
      mark_as "$i" holder
      settle_start "$i"
      ;;
    stale)
      launch_service i
      settle_start "$i"
      kill_service "$i"
      ;;
    damaged) printf 'not an entry\n' >"$root/$name" && chmod 600 "$root/$name" ;;
    symlink) ln -s /nonexistent-target "$root/$name" ;;
    fifo) mkfifo -m 600 "$root/$name" ;;
    socket) "$placer" socket "$root/$name" ;;
    directory) mkdir -m 700 "$root/$name" ;;
  esac
}

# Things at valid names that are the user's, not the kernel's.
place_foreign() {
  printf '#!/bin/sh\necho built\n' >"$root/build" && chmod 0100 "$root/build"
  ln -s src "$root/latest"
  mkfifo -m 600 "$root/pipe"
}

placed_inode() {
  [ -e "$root/$name" ] || [ -L "$root/$name" ] && stat -c %i "$root/$name"
}

# Names, types, modes, owners, link targets, and sizes and contents of regular
# files, of what is in a directory and of itself, but for the names given (a
# directory's own size grows with names that come and go).
listing() {
  local at=$1
  shift
  local skip=() n
  for n in "$@"; do skip+=(! -name "$n"); done
  find "$at" -mindepth 0 "${skip[@]}" -printf '%P|%y|%m|%u:%g|%l|' \
    \( -type f -printf '%s|' \( -readable -exec cksum {} \; -o -printf '\n' \) -o -printf '\n' \) 2>&1 |
    LC_ALL=C sort
}

# --- The swept party's calls ------------------------------------------------

trace_options=(-f -qq -s 80 -e trace=all -e signal=SIGSTOP,SIGCONT)

# Options that stop (or kill) at the call given as "NAME K"; none: a dry run.
gate() {
  local -n gate_options=$1
  local point=$2 signal=$3
  gate_options=("${trace_options[@]}")
  [ "$point" = none ] || gate_options+=(-e "inject=${point% *}:signal=$signal:when=${point#* }")
}

# The system calls of the swept party in a run without the others: one line a
# call, "NAME OCCURRENCE", over the calls that matter. A party stopped at a
# call is stopped once it has made it; one killed there dies before making it. A start's window runs
# from its first line to the end of its registration; start-locks keeps of
# those the lock, link, unlink and by-name stat calls made outside the change
# lock; start-effects those that leave a trace in the directory or on the
# console (all of them with SWEEP_EVERY_CALL=1); a stop's runs from the
# termination notification on; an rtroot command's from its first look at the
# root directory.
calls_of() {
  local log=$1 party=$2
  awk -v party="$party" -v root="$root" -v every="${SWEEP_EVERY_CALL:-}" '
    $2 ~ /^(---|\+\+\+|<\.\.\.)/ { next }
    $2 ~ /^exit_group\(/ { next }  # nothing follows it to interleave with
    {
      call = $2; sub(/\(.*/, "", call)
      count[call]++
      line[++n] = call " " count[call]
      text[n] = $0
      name[n] = call
    }
    END {
      first = 1; last = n
      for (i = 1; i <= n; i++) {
        if (party ~ /^start/ && text[i] ~ /write\(1, "Zorvandelith started\\n"/) first = i
        if (party ~ /^start/ && last == n && i > first && text[i] ~ /write\(1, "(Zorvandelith finished initialization|Zorvandelith started cleaning up)/) last = i
        if (party == "stop" && text[i] ~ /rt_sigtimedwait/) first = i
        if (party == "rtroot" && first == 1 && index(text[i], root) && text[i] !~ /^[0-9]+ execve/) first = i
      }
      held = 0
      for (i = first; i <= last; i++) {
        if (name[i] == "flock" && text[i] ~ /LOCK_EX/ && text[i] ~ /= 0$/) held = 1
        if (name[i] == "flock" && text[i] ~ /LOCK_UN/) held = 0
        if (party == "start-locks" && (held || !(name[i] ~ /^(flock|fcntl|linkat|unlinkat)$/ ||
                                                 (name[i] ~ /^(newfstatat|statx)$/ && text[i] !~ /""/))))
          continue
        if (party == "start-effects" && !every && !(name[i] ~ /^(mkdir|mkdirat|linkat|link|unlinkat|unlink|renameat2?|rename|symlinkat|fchmod|fchmodat|chmod|write|pwrite64|writev|ftruncate)$/ ||
                                                    (name[i] ~ /^(openat|open)$/ && text[i] ~ /O_CREAT/)))
          continue
        print line[i]
      }
    }' "$log"
}

# Waits until the traced party is stopped at its point; false if it ended
# without reaching it.
stopped_at_point() {
  local log=$1
  within $bound grep -q 'stopped by SIGSTOP' "$log" 2>/dev/null && return
  [ -s "$log" ] || fail "the swept party never started"
  unreached=$((unreached + 1))
  echo "not reached: $label"
  return 1
}

stopped_tracee() { awk '/stopped by SIGSTOP/ { print $1; exit }' "$1"; }

# Whether the stopped party holds the change lock: its last flock took it.
holds_change_lock() {
  awk '/stopped by SIGSTOP/ { exit } /flock\(/ { last = $0 } END { exit !(last ~ /LOCK_EX/ && last ~ /= 0$/) }' "$1"
}

# --- The other party of a pair ---------------------------------------------

run_clean() { timeout $bound "$rtroot" --root "$root" clean >"$work/clean.out" 2>&1; }

# Begun while the swept one is stopped; sets the variable named first to what
# end_other needs: the cleaner's process or the start's index.
begin_other() {
  local -n begun_by=$1
  local other=$2 holder=$3 pid
  case $other in
    clean)
      run_clean &
      begun_by=$!
      ;;
    start) launch_service begun_by ;;
    stop) pid_of "$holder" pid && alive "$pid" && kill -TERM "$pid" ;;
  esac
}

end_other() {
  local other=$1 holder=$2 begun=$3 pid
  case $other in
    clean) wait "$begun" || [ $? -eq 1 ] || fail "rtroot clean failed or hung: $(cat "$work/clean.out")" ;;
    start) settle_start "$begun" ;;
    stop)
      pid_of "$holder" pid
      within $bound gone "$pid" || fail "the holder did not stop within ${bound}s"
      reap "$holder"
      ;;
  esac
}

# A start that still waits after 300 ms is told to end, and must have ended,
# in order, within a second of that.
terminate_waiting_start() {
  local i=$1 pid
  pid_of "$i" pid
  within 0.3 started_or_gone "$svc/$i/out" "$pid" && return
  alive "$pid" && kill -TERM "$pid"
  mark_as "$i" terminated
  local asked=$EPOCHREALTIME
  if ! within 2 gone "$pid"; then
    fail "a start waiting for a stopped lock holder did not end on SIGTERM"
    return
  fi
  local took
  took=$(awk -v a="$asked" -v b="$EPOCHREALTIME" 'BEGIN { printf "%d", (b - a) * 1000 }')
  [ "$took" -le 1000 ] || fail "a start waiting for a stopped lock holder took ${took} ms to end on SIGTERM"
  tail -n 1 "$svc/$i/out" | grep -qx 'Zorvandelith finished cleaning up' ||
    fail "a start ended on SIGTERM without its orderly shutdown: $(said "$i")"
}

# The other party runs while the swept one is stopped, and the swept one goes
# on. A party stopped inside the change lock is a stopped process that keeps
# it: the other must still end within its bound, and a start at once on
# SIGTERM. A cleaner's wait is the same wherever the holder stopped: it is
# waited out once per pair and kind, and later the holder lets go after 100 ms.
run_other_then_resume() {
  local other=$1 holder=$2 log=$3 tracee begun=""
  tracee=$(stopped_tracee "$log")
  begin_other begun "$other" "$holder"
  if holds_change_lock "$log" && [ "$other" = start ]; then
    terminate_waiting_start "$begun"
    resume "$tracee"
  elif holds_change_lock "$log" && [ -n "$cleaner_waited" ]; then
    pause 0.1
    resume "$tracee"
    end_other "$other" "$holder" "$begun"
  elif holds_change_lock "$log"; then
    cleaner_waited=1
    end_other "$other" "$holder" "$begun"
    resume "$tracee"
  else
    end_other "$other" "$holder" "$begun"
    resume "$tracee"
  fi
}

# --- The checks ------------------------------------------------------------

# Sets the array named first to the services that run and hold the name.
live_holders() {
  local -n holders_found=$1
  local each pid
  holders_found=()
  for ((each = 0; each < services; each++)); do
    is "$each" killed && continue
    pid_of "$each" pid && alive "$pid" && started "$each" && holders_found+=("$each")
  done
}

# The name reads live, and for this service: its pid is the entry's.
reads_live_for() {
  local i=$1 pid
  pid_of "$i" pid
  "$rtroot" --root "$root" show "$name" >"$work/show.out" 2>&1 &&
    [ "$(awk 'NR == 2 { print $4 }' "$work/show.out")" = "$pid" ]
}

holders_settled() {
  local running=() i
  live_holders running
  [ ${#running[@]} -le 1 ] || return 1
  for i in "${running[@]}"; do reads_live_for "$i" || return 1; done
}

check_holders() {
  local running=() i
  live_holders running
  if [ ${#running[@]} -gt 1 ]; then
    fail "${#running[@]} live holders: $(for i in "${running[@]}"; do printf '[%s] ' "$(said "$i")"; done)"
  fi
  for i in "${running[@]}"; do
    reads_live_for "$i" ||
      fail "holder $i runs but the name does not read live for it: $(tr '\n' '|' <"$work/show.out"); in the directory: $(ls -lai "$root" 2>&1 | tr '\n' '|'); the holder said: $(said "$i")$(tr '\n' '|' <"$svc/$i/err"); its last calls: $(tail -n 12 "$svc/$i/trace" 2>/dev/null | tr '\n' '|')"
  done
}

# Starts that did not take the name (not the placed holder, not killed, not
# told to end) must have met a live holder, or a directory at the name.
# Sets the variable named first when one lost to a holder and nobody won.
check_start_outcomes() {
  local -n lost_only_to_holder=$1
  local kind=$2 i winners=0 holder=-1
  for ((i = 0; i < services; i++)); do
    is "$i" holder && holder=$i
    is "$i" holder || is "$i" killed || ! started "$i" || winners=$((winners + 1))
  done
  lost_only_to_holder=""
  for ((i = 0; i < services; i++)); do
    is "$i" holder || is "$i" killed || is "$i" terminated || started "$i" && continue
    if [ "$kind" = directory ]; then
      grep -q 'Error nr=16 ' "$svc/$i/out" || fail "start $i at a directory: $(said "$i")"
    elif [ "$holder" -lt 0 ] && [ $winners -eq 0 ]; then
      fail "lost name: start $i failed with no live holder: $(said "$i")"
    elif [ "$holder" -ge 0 ] && ! grep -Eq '^Error nr=(5|6) ' "$svc/$i/out"; then
      fail "start $i beside a holder failed otherwise than zorvandelith-root(7) says: $(said "$i")"
    else
      [ $winners -eq 0 ] && lost_only_to_holder=1
    fi
  done
  [ "$kind" = directory ] && [ $winners -gt 0 ] && fail "a start took the name of a directory"
}

# Stops whatever still runs; every service not killed must have ended in
# order, exit 0, and kept its own entry from others' hands (unless excused:
# a hand removed it).
check_ends() {
  local i status excused=${1:-}
  for ((i = 0; i < services; i++)); do
    is "$i" killed && continue
    stop_service "$i"
    read -r status <"$svc/$i/status"
    [ "$status" = 0 ] || fail "service $i ended with status $status: $(said "$i")"
    tail -n 1 "$svc/$i/out" | grep -qx 'Zorvandelith finished cleaning up' ||
      fail "service $i did not end in order: $(said "$i")"
    if grep -q 'Cannot remove my own name' "$svc/$i/out" && [ -z "$excused" ]; then
      fail "service $i lost its live entry to someone else: $(said "$i")"
    fi
  done
}

# What zorvandelith(8) and zorvandelith-root(7) tell an operator whose start lost to the holder's stop.
check_start_again() {
  local i
  launch_service i
  if ! settle_start "$i" || ! started "$i"; then fail "starting again did not help: $(said "$i")"; fi
  stop_service "$i"
}

# Killed parties' work files are fair to leave: a start sweeps them once they
# are a minute old. They are aged, a start runs, and they must be gone.
check_work_files_swept() {
  local files=("$@") i
  touch -m -d '-61 seconds' "${files[@]/#/$root/}"
  launch_service i
  settle_start "$i"
  stop_service "$i"
  for i in "${files[@]}"; do
    [ -e "$root/$i" ] && fail "a killed party's work file outlived the next start: $i"
  done
}

killed_pids() {
  local i pid
  for ((i = 0; i < services; i++)); do
    is "$i" killed && pid_of "$i" pid && echo "$pid"
  done
}

# Nothing left but the mark, what was placed (the same inode, never a live
# entry), and what killed parties left.
check_left_behind() {
  local kind=$1 placed=$2 left=() work_files=() entry killed
  killed=" $(killed_pids | tr '\n' ' ') "
  [ -d "$root" ] || return 0
  mapfile -t left < <(entries_of "$root")
  for entry in "${left[@]}"; do
    if [[ $entry =~ ^\.new-([0-9]+)- ]] && [[ $killed == *" ${BASH_REMATCH[1]} "* ]]; then
      work_files+=("$entry")
    elif [ "$entry" = "$name" ] && [ -n "$placed" ] && [ "$kind" != live ] &&
      [ "$(stat -c %i "$root/$name")" = "$placed" ]; then
      :
    elif [ "$entry" = "$name" ] && [ -f "$root/$name" ] && [ -r "$root/$name" ] &&
      [[ $killed == *" $(sed -n 's/.* pid=\([0-9]*\).*/\1/p' "$root/$name") "* ]]; then
      : # the dead entry of a killed holder
    else
      fail "left behind in the root directory: $entry ($(ls -ld "$root/$entry"))"
    fi
  done
  [ ${#work_files[@]} -eq 0 ] || check_work_files_swept "${work_files[@]}"
}

# A clean may remove a dead entry; it reports and leaves anything else.
check_clean_left() {
  local kind=$1
  case $kind in damaged | symlink | fifo | socket) ;; *) return ;; esac
  [ -f "$work/clean.out" ] && grep -q "^removed $name " "$work/clean.out" &&
    fail "rtroot clean removed a $kind that is no entry: $(tr '\n' '|' <"$work/clean.out")"
}

check_round() {
  local kind=$1 placed=$2 lost_to_holder
  check_holders
  check_start_outcomes lost_to_holder "$kind"
  check_ends "${3:-}"
  check_clean_left "$kind"
  [ -n "$lost_to_holder" ] && check_start_again
  check_left_behind "$kind" "$placed"
}

# --- Rounds ------------------------------------------------------------------
# Each round: place, launch the swept party, stop (or kill) it at the point,
# let the others run, resume, check. With point "none" it is the dry run:
# the swept party runs alone and its calls are kept in $work/dry.log.

# Pairs: the swept party stopped at a call while the other runs to its end.
round_pair() {
  local scenario=$1 kind=$2 point=$3
  local swept=${scenario%%-*} other=${scenario#*-}
  local options=() holder=-1 i="" pid placed clean_pid="" log
  gate options "$point" SIGSTOP
  fresh
  if [ "$swept" = stop ]; then
    place live "${options[@]}"
    holder=0
  else
    place "$kind"
    [ "$kind" = live ] && holder=0
  fi
  placed=$(placed_inode)
  case $swept in
    start)
      launch_service i "${options[@]}"
      log=$svc/$i/trace
      ;;
    clean)
      log=$work/clean.log
      timeout $bound strace -o "$log" "${options[@]}" -- "$rtroot" --root "$root" clean >"$work/clean.out" 2>&1 &
      clean_pid=$!
      ;;
    stop)
      log=$svc/0/trace
      i=0
      pid_of 0 pid && alive "$pid" && kill -TERM "$pid"
      ;;
  esac
  if [ "$point" = none ]; then
    end_swept "$swept" "$i" "$clean_pid"
    finish_dry_run "$log"
    return
  fi
  rounds=$((rounds + 1))
  stopped_at_point "$log" && run_other_then_resume "$other" "$holder" "$log"
  end_swept "$swept" "$i" "$clean_pid"
  check_round "$kind" "$placed"
}

finish_dry_run() {
  cp "$1" "$work/dry.log"
  check_ends
}

end_swept() {
  local swept=$1 i=$2 clean_pid=$3 pid
  case $swept in
    start) settle_start "$i" ;;
    clean) wait "$clean_pid" || [ $? -eq 1 ] || fail "the swept rtroot clean failed or hung: $(cat "$work/clean.out")" ;;
    stop)
      pid_of "$i" pid
      within $bound gone "$pid" || fail "the swept stop did not end within ${bound}s"
      ;;
  esac
}

# Waits for a service traced with a kill at the point; false, and counted, if
# it ended without reaching it.
killed_at_point() {
  local i=$1 pid status
  pid_of "$i" pid
  within $bound gone "$pid" || fail "the party to be killed did not end within ${bound}s"
  reap "$i"
  read -r status <"$svc/$i/status"
  if [ "$status" = 137 ]; then
    mark_as "$i" killed
    return 0
  fi
  unreached=$((unreached + 1))
  echo "not reached: $label (ended with status $status: $(said "$i"))"
  return 1
}

# A start killed at the point; then another start runs to its end.
round_killed() {
  local kind=$1 point=$2 options=() i next placed
  gate options "$point" SIGKILL
  fresh
  place "$kind"
  placed=$(placed_inode)
  launch_service i "${options[@]}"
  if [ "$point" = none ]; then
    settle_start "$i"
    finish_dry_run "$svc/$i/trace"
    return
  fi
  rounds=$((rounds + 1))
  killed_at_point "$i" && launch_service next && settle_start "$next"
  check_round "$kind" "$placed"
}

# Three parties at a stale entry: A stopped at a_point, B killed at b_point
# (none: B's dry run, with A stopped), then A goes on. A's own dry run is
# killed-start's at a stale entry.
round_three() {
  local a_point=$1 b_point=$2 a_options=() b_options=() a b placed
  gate a_options "$a_point" SIGSTOP
  gate b_options "$b_point" SIGKILL
  fresh
  place stale
  placed=$(placed_inode)
  launch_service a "${a_options[@]}"
  [ "$b_point" = none ] || rounds=$((rounds + 1))
  if stopped_at_point "$svc/$a/trace"; then
    launch_service b "${b_options[@]}"
    if [ "$b_point" = none ]; then
      settle_start "$b"
      cp "$svc/$b/trace" "$work/dry.log"
    else
      killed_at_point "$b"
    fi
    resume "$(stopped_tracee "$svc/$a/trace")"
  fi
  settle_start "$a"
  if [ "$b_point" = none ]; then
    check_ends
  else
    check_round stale "$placed"
  fi
}

remove_at_name() {
  case $1 in
    rm-root*) rm -rf "$root" ;;
    rm-entry*) rm -f "$root/$name" ;;
  esac
}

# A start, or a holder's stop, stopped at the point; the directory or the
# entry removed, maybe another start run; then the party goes on, and the
# holders have a moment to notice.
round_removal() {
  local swept=$1 kind=$2 point=$3 options=() i other pid excused=1
  gate options "$point" SIGSTOP
  fresh
  if [ "$swept" = stop ]; then
    place live "${options[@]}"
    i=0
    pid_of 0 pid && kill -TERM "$pid"
  else
    launch_service i "${options[@]}"
  fi
  if [ "$point" = none ]; then
    end_swept "$swept" "$i" ""
    finish_dry_run "$svc/$i/trace"
    return
  fi
  rounds=$((rounds + 1))
  if stopped_at_point "$svc/$i/trace"; then
    remove_at_name "$kind"
    if [[ $kind == *-then-start ]]; then
      launch_service other && settle_start "$other"
      started "$other" && excused=""
    fi
    resume "$(stopped_tracee "$svc/$i/trace")"
  fi
  end_swept "$swept" "$i" ""
  within $settle holders_settled
  # Its stop may miss an entry a hand removed, but never one another holder has.
  check_round nothing "" "$excused"
}

looker_command() {
  case $1 in
    list) echo list ;;
    show) echo show "$name" ;;
    wait) echo wait "$name" --timeout 0 ;;
    dry-clean) echo clean --dry-run ;;
  esac
}

# rtroot looking, stopped at the point while a start (at a stale entry) or a
# holder's stop runs; then it goes on. The directory must list as before,
# but for the name.
round_look() {
  local other=$1 kind=$2 point=$3 options=() command=() before looker status lost_to_holder
  gate options "$point" SIGSTOP
  read -ra command < <(looker_command "$kind")
  fresh
  if [ "$other" = stop ]; then place live; else place stale; fi
  place_foreign
  before=$(listing "$root" "$name")
  timeout $bound strace -o "$work/look.log" "${options[@]}" -- "$rtroot" --root "$root" "${command[@]}" \
    >"$work/look.out" 2>&1 &
  looker=$!
  if [ "$point" = none ]; then
    wait "$looker"
    finish_dry_run "$work/look.log"
    return
  fi
  rounds=$((rounds + 1))
  stopped_at_point "$work/look.log" && run_other_then_resume "$other" 0 "$work/look.log"
  wait "$looker"
  status=$?
  [ $status -le 2 ] || fail "rtroot ${command[*]} failed or hung ($status): $(tr '\n' '|' <"$work/look.out")"
  check_holders
  check_start_outcomes lost_to_holder stale
  check_ends
  [ "$(listing "$root" "$name")" = "$before" ] ||
    fail "rtroot ${command[*]} changed the directory: $(diff <(echo "$before") <(listing "$root" "$name") | tr '\n' '|')"
}

# --- Plain checks ----------------------------------------------------------

# A fake home: a thesis, a link to a folder, a FIFO, an execute-only script,
# a dotfile and a folder.
make_home() {
  local home=$1
  mkdir -m 700 "$home" "$home/src"
  printf '\\documentclass{article}\n' >"$home/thesis.tex"
  printf 'int main() {}\n' >"$home/src/main.c"
  ln -s src "$home/latest"
  mkfifo -m 600 "$home/pipe"
  printf '#!/bin/sh\necho built\n' >"$home/build" && chmod 0100 "$home/build"
  printf 'export EDITOR=vi\n' >"$home/.profile"
}

# Runs an rtroot command on a directory, sets the variable named first to its
# exit status, and fails if the directory changed.
unchanged_by() {
  local -n exit_status=$1
  local at=$2 before
  shift 2
  before=$(listing "$at")
  timeout $bound "$rtroot" --root "$at" "$@" >"$work/plain.out" 2>"$work/plain.err"
  exit_status=$?
  [ "$(listing "$at")" = "$before" ] && return
  fail "rtroot $* changed the directory: $(diff <(echo "$before") <(listing "$at") | tr '\n' '|')"
  return 1
}

# Every command pointed at a copy of an ordinary directory changes nothing and
# says in one line that it is not a root directory.
check_foreign_directory() {
  local home=$work/home command=() words status
  for words in list "show thesis.tex" "wait thesis.tex --timeout 0" clean "clean --dry-run"; do
    read -ra command <<<"$words"
    rm -rf "$home" && make_home "$home"
    label="foreign: rtroot $words in a home"
    rounds=$((rounds + 1))
    unchanged_by status "$home" "${command[@]}"
    [ "$status" -eq 65 ] || fail "exit status $status, not 65: $(tr '\n' '|' <"$work/plain.out")"
    if [ "$(wc -l <"$work/plain.err")" -ne 1 ] || ! grep -q 'not a root directory' "$work/plain.err"; then
      fail "stderr is not one line saying it is not a root directory: $(tr '\n' '|' <"$work/plain.err")"
    fi
  done
  rm -rf "$home"
}

# In a root directory, looking at the user's own things changes nothing.
check_looking_at_foreign() {
  local words command=() status
  for words in list "show build" "wait build --timeout 0" "show latest" "show pipe" "clean --dry-run"; do
    read -ra command <<<"$words"
    fresh
    place_foreign
    label="foreign: rtroot $words in a root directory"
    rounds=$((rounds + 1))
    unchanged_by status "$root" "${command[@]}"
    [ "$status" -le 2 ] || fail "exit status $status: $(tr '\n' '|' <"$work/plain.err")"
  done
}

# --- The sweep -------------------------------------------------------------

# The kinds a scenario sweeps over, and whose calls its dry run lists.
kinds_of() {
  case $1 in
    look-*) echo "${lookers[*]}" ;;
    removal-*) echo "${removals[*]}" ;;
    stopped-killed) echo stale ;;
    stop-* | *-stop) echo live ;;
    *) echo "${name_kinds[*]}" ;;
  esac
}

swept_party() {
  case $1 in
    killed-start) echo start-effects ;;
    start-*) echo start ;;
    removal-*) echo "${1#removal-}" ;;
    look-* | clean-*) echo rtroot ;;
    stop-*) echo stop ;;
  esac
}

one_round() {
  local scenario=$1 kind=$2 point=$3
  case $scenario in
    killed-start) round_killed "$kind" "$point" ;;
    removal-*) round_removal "${scenario#removal-}" "$kind" "$point" ;;
    look-*) round_look "${scenario#look-}" "$kind" "$point" ;;
    *) round_pair "$scenario" "$kind" "$point" ;;
  esac
}

# A dry run, then one round at each of its points; swept says how many.
sweep_points() {
  local scenario=$1 kind=$2 points=() point
  label="$scenario $kind dry"
  one_round "$scenario" "$kind" none
  mapfile -t points < <(calls_of "$work/dry.log" "$(swept_party "$scenario")")
  for point in "${points[@]}"; do
    label="$scenario $kind at ${point% *} #${point#* }"
    one_round "$scenario" "$kind" "$point"
  done
  swept="${#points[@]} points"
}

# A stopped at each of its lock, link, unlink and stat calls outside the
# change lock; B killed at each call of its dry run beside A stopped there.
sweep_three() {
  local a_points=() a_point b_points=() b_point b_total=0 at
  label="stopped-killed A dry"
  round_killed stale none
  mapfile -t a_points < <(calls_of "$work/dry.log" start-locks)
  for a_point in "${a_points[@]}"; do
    at="A stopped at ${a_point% *} #${a_point#* }"
    label="stopped-killed $at, B dry"
    round_three "$a_point" none
    mapfile -t b_points < <(calls_of "$work/dry.log" start-effects)
    for b_point in "${b_points[@]}"; do
      label="stopped-killed $at, B killed at ${b_point% *} #${b_point#* }"
      round_three "$a_point" "$b_point"
    done
    b_total=$((b_total + ${#b_points[@]}))
  done
  swept="${#a_points[@]} points of A, $b_total of B"
}

make_template
for scenario in "${scenarios[@]}"; do
  case " ${all_scenarios[*]} " in *" $scenario "*) ;; *)
    echo "sweep: unknown scenario $scenario" >&2
    exit 64
    ;;
  esac
  began=$SECONDS
  before=$failures
  if [ "$scenario" = foreign ]; then
    check_foreign_directory
    check_looking_at_foreign
    echo "foreign: $((failures - before)) failed"
    continue
  fi
  read -ra kinds < <(kinds_of "$scenario")
  for kind in "${kinds[@]}"; do
    before=$failures
    cleaner_waited=""
    if [ "$scenario" = stopped-killed ]; then
      sweep_three
    else
      sweep_points "$scenario" "$kind"
    fi
    echo "$scenario, $kind: $swept$([ $failures -gt $before ] && echo ", $((failures - before)) failed"), $((SECONDS - began)) s"
  done
done

echo "$rounds rounds, $unreached points not reached, $SECONDS s"
echo "$((rounds - failures)) passed, $failures failed"
# A point not reached was not tested: the party's calls differ from its dry run.
[ $failures -eq 0 ] && [ $unreached -eq 0 ]
