#!/usr/bin/env bash
# The root directory's promise under every interleaving of two parties: one
# party is stopped after each of its system calls in turn (strace injects a
# SIGSTOP after the K-th call) while the other runs to its end; then the first
# goes on, and the round's invariants are checked:
#   - at most one live holder, and the name stands for it;
#   - nobody removed a live holder's entry (its stop removes its own name);
#   - a start fails only while a live holder exists (or a directory, which is
#     never removed, stands at the name);
#   - no party takes longer than its bound;
#   - once everything has stopped, nothing is left but what was placed there.
#
# The parties are a start, the stop of a running holder, `rtroot clean` and a
# second start; the things at the name are nothing, a live entry, a stale
# entry, a damaged entry, a symlink, a FIFO, a socket and a directory. Of each
# pair, the party named first is the one swept, over the calls that can matter:
# a start's from its first line to the end of its registration, a stop's from
# the termination notification on, and the whole of a clean after its first look
# at the root directory.
#
# Usage: sweep.sh SERVICE RTROOT PLACE_AT_NAME [PAIR...]
#   PAIR: start-clean clean-start start-start start-stop stop-start stop-clean
set -uo pipefail

service=$1
rtroot=$2
placer=$3
shift 3
all_pairs=(start-clean clean-start start-start start-stop stop-start stop-clean)
pairs=("$@")
[ ${#pairs[@]} -gt 0 ] || pairs=("${all_pairs[@]}")
kinds=(${SWEEP_KINDS:-nothing live stale damaged symlink fifo socket directory})

command -v strace >/dev/null || {
  echo "sweep: strace is needed to stop a party at each system call" >&2
  exit 1
}
work=$(mktemp -d "${TMPDIR:-/tmp}/sweep.XXXXXX")
dir=$work/run
root=$dir/rtroot
name=Zorvandelith
bound=10 # seconds any one party may take
failures=0
rounds=0
unreached=0
label=""

# Per service of the round: the process to signal (the traced one, for a
# service under strace), the process to reap, and its console output.
declare -a service_pids=() service_launchers=() service_outs=()
declare -A terminated=() # starts told to end while they waited

cleanup() {
  for pid in "${service_pids[@]}"; do ours "$pid" && kill -KILL "$pid" 2>/dev/null; done
  pkill -KILL -P $$ 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL [$label]: $*"
  failures=$((failures + 1))
}

# Whether a process is one of this sweep's: a number it started may have been
# reaped and handed to someone else's process since, which must never be
# signalled or taken for the sweep's own.
ours() {
  local pid=$1 level
  for level in 1 2 3; do # the service, strace, timeout: at most three below this shell
    pid=$(awk '{ print $4 }' "/proc/$pid/stat" 2>/dev/null) || return 1
    [ "$pid" = $$ ] && return 0
  done
  return 1
}
alive() { ours "$1" && [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" != Z ]; }
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

started_or_gone() { grep -q 'finished initialization' "$1" || ! alive "$2"; }

# A service of the round, plain or under strace; prints its out file's index.
launch_service() {
  launches=$((launches + 1))
  local out=$work/service.$launches
  : >"$out"
  if [ $# -gt 0 ]; then
    XDG_RUNTIME_DIR=$dir strace "$@" -- "$service" >"$out" 2>"$out.err" &
    service_launchers+=($!)
    service_pids+=("$(tracee_of "$work/trace.log")")
  else
    XDG_RUNTIME_DIR=$dir "$service" >"$out" 2>"$out.err" &
    service_launchers+=($!)
    service_pids+=($!)
  fi
  service_outs+=("$out")
}

# The traced process behind a strace, once it has made its first call.
tracee_of() {
  local log=$1
  within 5 test -s "$log" || return 1
  awk 'NR == 1 { print $1; exit }' "$log"
}

# Waits until the service at index i prints its last start-up line or ends.
settle_start() {
  local i=$1 pid=${service_pids[$1]}
  within $bound started_or_gone "${service_outs[$i]}" "$pid" || {
    fail "start $i did not end its start-up within ${bound}s"
    return 1
  }
}

started() { grep -q 'finished initialization' "${service_outs[$1]}"; }

stop_service() {
  local i=$1 pid=${service_pids[$1]}
  alive "$pid" && kill -TERM "$pid" 2>/dev/null
  within $bound gone "$pid" || {
    fail "service $i did not stop within ${bound}s"
    ours "$pid" && kill -KILL "$pid" 2>/dev/null
    ours "${service_launchers[$i]}" && kill -KILL "${service_launchers[$i]}" 2>/dev/null
  }
  wait "${service_launchers[$i]}" 2>/dev/null
}

place() {
  local kind=$1 traced=("${@:2}")
  case $kind in
    nothing) ;;
    live)
      launch_service "${traced[@]}"
      settle_start $((${#service_pids[@]} - 1))
      ;;
    stale)
      launch_service
      settle_start 0
      kill -KILL "${service_pids[0]}"
      wait "${service_launchers[0]}" 2>/dev/null
      service_pids=() service_launchers=() service_outs=()
      ;;
    damaged) printf 'not an entry\n' >"$root/$name" && chmod 600 "$root/$name" ;;
    symlink) ln -s /nonexistent-target "$root/$name" ;;
    fifo) mkfifo -m 600 "$root/$name" ;;
    socket) "$placer" socket "$root/$name" ;;
    directory) mkdir -m 700 "$root/$name" ;;
  esac
}

fresh() {
  for pid in "${service_pids[@]}"; do ours "$pid" && kill -KILL "$pid" 2>/dev/null; done
  wait 2>/dev/null
  service_pids=() service_launchers=() service_outs=()
  terminated=()
  rm -rf "$dir"
  mkdir -m 700 "$dir" "$root"
}

# The system calls of the swept party in a run without the other party: one
# line a call, "NAME OCCURRENCE", over the calls that matter to the pair.
calls_of() {
  local log=$1 party=$2
  awk -v party="$party" '
    $2 ~ /^(---|\+\+\+|<\.\.\.)/ { next }
    $2 ~ /^exit_group\(/ { next }  # nothing follows it to interleave with
    {
      call = $2; sub(/\(.*/, "", call)
      count[call]++
      line[++n] = call " " count[call]
      text[n] = $0
    }
    END {
      first = 1; last = n
      for (i = 1; i <= n; i++) {
        if (party == "start" && text[i] ~ /write\(1, "Zorvandelith started\\n"/) first = i
        if (party == "start" && last == n && i > first && text[i] ~ /write\(1, "(Zorvandelith finished initialization|Zorvandelith started cleaning up)/) last = i
        if (party == "stop" && text[i] ~ /rt_sigtimedwait/) first = i
        if (party == "clean" && first == 1 && text[i] ~ /rtroot/) first = i
      }
      for (i = first; i <= last; i++) print line[i]
    }' "$log"
}

run_clean() { timeout $bound "$rtroot" --root "$root" clean >"$work/clean.out" 2>&1; }
other_pid=""
launches=0

# The other party: begun while the swept one is stopped, and run to its end.
begin_other() {
  local other=$1 holder=$2
  case $other in
    clean)
      run_clean &
      other_pid=$!
      ;;
    start) launch_service ;;
    stop) alive "${service_pids[$holder]}" && kill -TERM "${service_pids[$holder]}" ;;
  esac
}

end_other() {
  local other=$1 holder=$2
  case $other in
    clean) wait "$other_pid" || [ $? -eq 1 ] || fail "rtroot clean failed or hung: $(cat "$work/clean.out")" ;;
    start) settle_start $((${#service_pids[@]} - 1)) ;;
    stop)
      within $bound gone "${service_pids[$holder]}" || fail "the holder did not stop within ${bound}s"
      wait "${service_launchers[$holder]}" 2>/dev/null
      ;;
  esac
}

# A start that still waits after 300 ms is told to end, and must have ended,
# in order, within a second of that.
terminate_waiting_start() {
  local i=$((${#service_pids[@]} - 1))
  within 0.3 started_or_gone "${service_outs[$i]}" "${service_pids[$i]}" && return
  alive "${service_pids[$i]}" && kill -TERM "${service_pids[$i]}"
  terminated[$i]=1
  local asked=$EPOCHREALTIME
  if ! within 2 gone "${service_pids[$i]}"; then
    fail "a start waiting for a stopped lock holder did not end on SIGTERM"
    return
  fi
  local took
  took=$(awk -v a="$asked" -v b="$EPOCHREALTIME" 'BEGIN { printf "%d", (b - a) * 1000 }')
  [ "$took" -le 1000 ] || fail "a start waiting for a stopped lock holder took ${took} ms to end on SIGTERM"
  tail -n 1 "${service_outs[$i]}" | grep -qx 'Zorvandelith finished cleaning up' ||
    fail "a start ended on SIGTERM without its orderly shutdown: $(tr '\n' '|' <"${service_outs[$i]}")"
}

# Whether the stopped party holds the change lock: its last flock took it.
holds_change_lock() {
  awk '/stopped by SIGSTOP/ { exit } /flock\(/ { last = $0 } END { exit !(last ~ /LOCK_EX/ && last ~ /= 0$/) }' "$1"
}

# One round: the swept party is stopped after the call given as "NAME K"
# (none: a dry run that only lists its calls).
round() {
  local pair=$1 kind=$2 point=$3
  local swept=${pair%%-*} other=${pair#*-}
  local log=$work/trace.log
  local gate=(-f -qq -s 80 -o "$log" -e trace=all -e signal=SIGSTOP,SIGCONT)
  [ "$point" = none ] || gate+=(-e "inject=${point% *}:signal=SIGSTOP:when=${point#* }")
  fresh
  rm -f "$log"
  local holder=-1 swept_index=-1 tracee="" placed_inode=""
  if [ "$swept" = stop ]; then
    place live "${gate[@]}"
    holder=0
    swept_index=0
  else
    place "$kind"
    [ "$kind" = live ] && holder=0
  fi
  [ -e "$root/$name" ] || [ -L "$root/$name" ] && placed_inode=$(stat -c %i "$root/$name")

  case $swept in
    start)
      launch_service "${gate[@]}"
      swept_index=$((${#service_pids[@]} - 1))
      ;;
    clean)
      timeout $bound strace "${gate[@]}" -- "$rtroot" --root "$root" clean >"$work/clean.out" 2>&1 &
      local clean_pid=$!
      ;;
    stop) alive "${service_pids[0]}" && kill -TERM "${service_pids[0]}" ;;
  esac
  [ "$point" = none ] && {
    finish_dry_run "$swept" "${clean_pid:-}" "$swept_index" "$log"
    return
  }
  rounds=$((rounds + 1))
  # Stopped at the call, or done without reaching it.
  if ! within $bound grep -q 'stopped by SIGSTOP' "$log" 2>/dev/null &&
    ! [ -s "$log" ]; then
    fail "the swept $swept never started"
  fi
  if grep -q 'stopped by SIGSTOP' "$log"; then
    tracee=$(awk '/stopped by SIGSTOP/ { print $1; exit }' "$log")
    begin_other "$other" "$holder"
    # A party stopped inside the change lock is a stopped process that keeps
    # it: the other must still end within its bound, and a start at once on
    # SIGTERM.
    # A cleaner's wait is the same wherever the holder stopped: it is waited
    # out once per pair and kind, and later the holder lets go after 100 ms.
    if holds_change_lock "$log" && [ "$other" = start ]; then
      terminate_waiting_start
      resume "$tracee"
    elif holds_change_lock "$log" && [ -n "$cleaner_waited" ]; then
      pause 0.1
      resume "$tracee"
      end_other "$other" "$holder"
    elif holds_change_lock "$log"; then
      cleaner_waited=1
      end_other "$other" "$holder"
      resume "$tracee"
    else
      end_other "$other" "$holder"
      resume "$tracee"
    fi
  else
    unreached=$((unreached + 1))
    echo "not reached: $label"
  fi
  case $swept in
    start) settle_start "$swept_index" ;;
    clean) wait "$clean_pid" || [ $? -eq 1 ] || fail "the swept rtroot clean failed or hung: $(cat "$work/clean.out")" ;;
    stop) within $bound gone "${service_pids[0]}" || fail "the swept stop did not end within ${bound}s" ;;
  esac
  check_round "$kind" "$placed_inode" "$holder"
}

finish_dry_run() {
  local swept=$1 clean_pid=$2 index=$3 log=$4
  case $swept in
    start) settle_start "$index" ;;
    clean) wait "$clean_pid" ;;
    stop) within $bound gone "${service_pids[0]}" ;;
  esac
  for i in "${!service_pids[@]}"; do alive "${service_pids[$i]}" && stop_service "$i"; done
  calls_of "$log" "$swept" >"$work/calls"
}

check_round() {
  local kind=$1 placed_inode=$2 holder=$3
  local winners=0 running=() i retry_after_holder=""
  for i in "${!service_pids[@]}"; do
    [ "$i" != "$holder" ] && started "$i" && winners=$((winners + 1))
    alive "${service_pids[$i]}" && started "$i" && running+=("$i")
  done
  if [ ${#running[@]} -gt 1 ]; then
    fail "${#running[@]} live holders: $(for i in "${running[@]}"; do printf '[%s] ' "$(tr '\n' '|' <"${service_outs[$i]}")"; done)"
  elif [ ${#running[@]} -eq 1 ]; then
    "$rtroot" --root "$root" show "$name" >"$work/show.out" 2>&1 ||
      fail "a holder runs but the name does not read live: $(cat "$work/show.out"); in the directory: $(ls -lai "$root" | tr '\n' '|'); the holder said: $(tr '\n' '|' <"${service_outs[${running[0]}]}"); its last calls: $(tail -n 12 "$work/trace.log" | tr '\n' '|')"
  fi
  for i in "${!service_outs[@]}"; do
    [ "$i" = "$holder" ] && continue
    started "$i" && continue
    [ -n "${terminated[$i]:-}" ] && continue
    if [ "$kind" = directory ]; then
      grep -q 'Error nr=16 ' "${service_outs[$i]}" || fail "start $i at a directory: $(tr '\n' '|' <"${service_outs[$i]}")"
    elif [ "$holder" -lt 0 ] && [ $winners -eq 0 ]; then
      fail "lost name: start $i failed with no live holder: $(tr '\n' '|' <"${service_outs[$i]}")"
    elif [ "$holder" -ge 0 ] && ! grep -Eq '^Error nr=(5|6) ' "${service_outs[$i]}"; then
      fail "start $i beside a holder failed otherwise than README says: $(tr '\n' '|' <"${service_outs[$i]}")"
    else
      retry_after_holder=1
    fi
  done
  [ "$kind" = directory ] && [ $winners -gt 0 ] && fail "a start took the name of a directory"
  for i in "${!service_pids[@]}"; do
    alive "${service_pids[$i]}" && stop_service "$i"
  done
  for i in "${!service_outs[@]}"; do
    if grep -q 'Cannot remove my own name' "${service_outs[$i]}"; then
      fail "service $i lost its live entry to someone else: $(tr '\n' '|' <"${service_outs[$i]}")"
    fi
  done
  # What README tells an operator whose start lost to the holder's stop.
  if [ -n "$retry_after_holder" ] && [ $winners -eq 0 ]; then
    launch_service
    i=$((${#service_pids[@]} - 1))
    settle_start "$i" && started "$i" || fail "starting again did not help: $(tr '\n' '|' <"${service_outs[$i]}")"
    stop_service "$i"
  fi
  local left
  left=$(ls -A "$root")
  if [ -n "$left" ]; then
    if [ "$left" != "$name" ] || [ -z "$placed_inode" ] || [ "$kind" = live ] ||
      [ "$(stat -c %i "$root/$name")" != "$placed_inode" ]; then
      fail "left behind in the root directory: $left"
    fi
  fi
}

for pair in "${pairs[@]}"; do
  case " ${all_pairs[*]} " in *" $pair "*) ;; *)
    echo "sweep: unknown pair $pair" >&2
    exit 64
    ;;
  esac
  pair_kinds=("${kinds[@]}")
  case $pair in stop-* | *-stop) pair_kinds=(live) ;; esac
  for kind in "${pair_kinds[@]}"; do
    label="$pair $kind dry"
    round "$pair" "$kind" none
    mapfile -t points <"$work/calls"
    before=$failures
    cleaner_waited=""
    for point in "${points[@]}"; do
      label="$pair $kind after ${point% *} #${point#* }"
      round "$pair" "$kind" "$point"
    done
    echo "$pair, $kind: ${#points[@]} points$([ $failures -gt $before ] && echo ", $((failures - before)) failed")"
  done
done

echo "$rounds rounds, $unreached points not reached"
echo "$((rounds - failures)) passed, $failures failed"
# A point not reached was not tested: the party's calls differ from its dry run.
[ $failures -eq 0 ] && [ $unreached -eq 0 ]
