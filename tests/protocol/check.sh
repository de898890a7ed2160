#!/usr/bin/env bash
# Checks the root directory's protocol model with SPIN over every
# interleaving and every crash (no bit-state approximation), and checks that
# the check can fail: each mutant, which removes one protection, and the model
# of the code before the claimant's lookup learnt of a vanished thing, must
# each show a violation, whose trail is printed.
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

# Verifies the model with the given -D flags; prints pan's report to out.txt.
verify() {
  rm -f pan pan.* ./*.trail
  spin "$@" -a "$model" >/dev/null
  gcc -O2 -w -DSAFETY -DMEMLIM=8192 -o pan pan.c
  ./pan -m200000 >out.txt 2>&1 || true
  grep -Eo 'errors: [0-9]+' out.txt | awk '{ print $2 }'
}

failures=0
errors=$(verify)
states=$(awk '/states, stored/ { print $1; exit }' out.txt)
if [ "$errors" = 0 ] && grep -q 'Full statespace search' out.txt && ! grep -q 'max search depth too small' out.txt; then
  echo "model: no violation, $states states, exhaustively"
else
  echo "FAIL model: $errors errors"; cat out.txt
  failures=$((failures + 1))
fi

for mutant in NO_CLAIM NO_RECHECK NO_CHANGE_LOCK NO_VANISHED_COUNT BEFORE_LOOKUP_FIX; do
  errors=$(verify "-D$mutant")
  if [ "$errors" -gt 0 ] && [ -e "$model.trail" ]; then
    echo "mutant $mutant: $(grep -m1 -o 'assertion violated.*' out.txt | cut -c1-120)"
    # The story of the name in the trail: who linked, unlinked, claimed or
    # died, up to the violation.
    { spin "-D$mutant" -t -p "$model" 2>/dev/null || true; } |
      grep -E '^ +[0-9]+:[[:space:]]+proc +[0-9]+ \((Start|Cleaner|Holder)' |
      grep -E '\[(at = |alive\[[a-z0-9]+\] = 0|claim\[self\] = 1|(failedWithoutLive|liveRemoved|wrongRemoved) = 1)' |
      tail -n 12 | sed -E 's/^ +([0-9]+):[[:space:]]+proc +([0-9]+) \(([A-Za-z]+):1\) [^[]*/    step \1, \3 \2: /' || true
  else
    echo "FAIL mutant $mutant: no violation found, so the check could not have failed"
    failures=$((failures + 1))
  fi
done
[ $failures -eq 0 ]
