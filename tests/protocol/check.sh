#!/usr/bin/env bash
# Checks the root directory's protocol model with SPIN in each configuration
# below, over every interleaving and every crash, and checks that the check
# can fail: each mutant, which removes one protection or brings back the code
# before a fix, must show a violation, whose trail is printed. Every state of
# the starts, the holders, the cleaner and the outside party must be reached
# by some configuration: a branch of the model that no run reaches fails the
# check, as does a configuration whose search did not complete.
#
# Usage: check.sh [MODEL]    (default: rtkernel/hosted/root/protocol.pml)
set -euo pipefail
model=$(realpath "${1:-$(dirname "$0")/../../rtkernel/hosted/root/protocol.pml}")
for tool in spin gcc; do
  command -v "$tool" >/dev/null || { echo "protocol: $tool is needed: tools/needs ci installs it" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# spin reads a trail from beside the model: the model is checked in a copy.
cp "$model" "$work/protocol.pml"
model=protocol.pml
cd "$work"

# The configurations: name, spin's -D flags, and the search. A full search
# stores every state; where that does not fit in the time CI gives it (three
# starts), a bit-state search (one bit per state in a 2^32-bit table, 512 MB)
# covers nearly all of them. The hand outside the protocol is checked without
# the cleaner, whose own removal is examined and unlinked as a claimant's is:
# together they take minutes, alone seconds.
configurations=(
  "two starts, a cleaner, a holder at the outset||full"
  "two starts, a holder, a hand that removes the entry|-DOUTSIDE_REMOVES_ONLY -DNO_CLEANER|full"
  "two starts, a holder, a hand that renames the directory away|-DOUTSIDE_RENAMES_ONLY -DNO_CLEANER|full"
  "three starts, a holder at the outset|-DTHREE_STARTS -DNO_CLEANER|bitstate"
)
# Each mutant with the configuration that shows what it breaks; the last is
# a witness that a removal from outside does let a stop or a claimant unlink
# a newer live entry, as zorvandelith-root(7) says.
mutants=(
  "NO_CLAIM|"
  "NO_RECHECK|"
  "NO_CHANGE_LOCK|"
  "NO_VANISHED_COUNT|"
  "BEFORE_LOOKUP_FIX|"
  "WRITE_AGAIN_ONCE|-DTHREE_STARTS -DNO_CLEANER"
  "PUT_BACK_ONCE|-DOUTSIDE_REMOVES_ONLY -DNO_CLEANER"
  "NO_PUT_BACK|-DOUTSIDE_REMOVES_ONLY -DNO_CLEANER"
  "NO_PARENT_WATCH|-DOUTSIDE_RENAMES_ONLY -DNO_CLEANER"
  "WATCH_LOOKS_AT_NAMES|-DOUTSIDE_RENAMES_ONLY -DNO_CLEANER"
  "WINDOWS_CLOSED|-DOUTSIDE_REMOVES_ONLY -DNO_CLEANER"
)

# Verifies the model with the given -D flags and search; pan's report goes
# to out.txt, and the number of errors to stdout. A mutant's search ends at
# its first violation, within a second or two, so its verifier is compiled
# unoptimised: optimising it took ten times as long as the search it speeds up.
verify() {
  local flags=$1 search=$2 options=(-DSAFETY -DMEMLIM=8192 -DCOLLAPSE) run=(-m400000) optimise=-O2
  rm -f pan pan.* ./*.trail
  if [ "$search" = bitstate ]; then
    options=(-DSAFETY -DBITSTATE) run=(-m400000 -w32)
  elif [ "$search" = first-violation ]; then
    optimise=-O0
  fi
  # shellcheck disable=SC2086 # the flags are words for spin
  spin $flags -a "$model" >/dev/null
  gcc "$optimise" -w "${options[@]}" -o pan pan.c
  nice ./pan "${run[@]}" >out.txt 2>&1 || true
  grep -Eo 'errors: [0-9]+' out.txt | awk '{ print $2 }'
}

# The unreached states of the parties, one per line: proctype, line, text.
unreached() {
  awk '/^unreached in proctype / { party = $4; next }
       /^unreached in / { party = ""; next }
       party ~ /^(Start|Cleaner|Outside)$/ && /^\t.*state [0-9]+/ {
         line = $0; sub(/^\t/, "", line); sub(/, state [0-9]+,/, ",", line); print party ": " line }' out.txt |
    grep -v -- '-end-' | sort -u || true
}

failures=0
first=1
for configuration in "${configurations[@]}"; do
  IFS='|' read -r name flags search <<<"$configuration"
  start=$SECONDS
  errors=$(verify "$flags" "$search")
  states=$(awk '/states, stored/ { print $1; exit }' out.txt)
  if [ "$errors" = 0 ] && ! grep -q 'max search depth too small\|Search not completed' out.txt; then
    echo "model ($name): no violation, $states states, $search search, $((SECONDS - start)) s"
  else
    echo "FAIL model ($name): $errors errors"
    cat out.txt
    failures=$((failures + 1))
  fi
  unreached >this.txt
  if [ $first = 1 ]; then
    mv this.txt never.txt
    first=0
  else
    comm -12 never.txt this.txt >both.txt
    mv both.txt never.txt
  fi
done
if [ -s never.txt ]; then
  echo "FAIL model: states that no configuration reaches:"
  sed 's/^/    /' never.txt
  failures=$((failures + 1))
else
  echo "model: every state of the starts, holders, cleaner and outside party is reached"
fi

for entry in "${mutants[@]}"; do
  IFS='|' read -r mutant flags <<<"$entry"
  errors=$(verify "-D$mutant $flags" first-violation)
  if [ "${errors:-0}" -gt 0 ] && [ -e "$model.trail" ]; then
    echo "mutant $mutant: $(grep -m1 -o 'assertion violated.*' out.txt | cut -c1-120)"
    # The story of the name in the trail: who linked, unlinked, claimed,
    # died or renamed, up to the violation.
    # shellcheck disable=SC2086 # the flags are words for spin
    { spin "-D$mutant" $flags -t -p "$model" 2>/dev/null || true; } |
      grep -E '^ +[0-9]+:[[:space:]]+proc +[0-9]+ \((Start|Cleaner|Outside)' |
      grep -E '\[(at\[[a-z0-9]+\] = |alive\[[a-z0-9]+\] = 0|claimNote\[p\] = 1|dirAt = |(failedUnseen|lostUnseen|liveRemoved|wrongRemoved) = 1)' |
      tail -n 14 | sed -E 's/^ +([0-9]+):[[:space:]]+proc +([0-9]+) \(([A-Za-z]+):1\) [^[]*/    step \1, \3 \2: /' || true
  else
    echo "FAIL mutant $mutant: no violation found, so the check could not have failed"
    failures=$((failures + 1))
  fi
done
[ $failures -eq 0 ]
