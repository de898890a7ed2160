#!/bin/sh
# Why each skipped test did not run, printed by ctest after its summary (whose
# "(Skipped)" gives no reason): the lines a test printed with its skip, read
# from ctest's log of the run, which is LastTest.log.tmp until ctest ends
# (whole up to the last test ended: ctest flushes it after each). A
# GoogleTest skip's reason stands between its "file:line: Skipped" line and
# its "[  SKIPPED ]" line; a script test's is its "Skipped: " line.
# Usage: skip_reasons.sh TESTING_TEMPORARY_DIR
log=$1/LastTest.log.tmp
[ -r "$log" ] || exit 0
awk '
  /^[0-9]+\/[0-9]+ Test: / { name = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", name); next }
  /^Output:$/ { output = 1; skipped = 0; reason = ""; grab = 0; next }
  !output { next }
  /^<end of output>$/ {
    output = 0
    if (skipped) {
      if (!said++) print "Why they were skipped:"
      print "\t" name ": " (reason == "" ? "no reason given" : reason)
    }
    next
  }
  /^Skipped: / { skipped = 1; reason = substr($0, 10); next }
  /: Skipped$/ { grab = 1; next }
  grab && /^\[  SKIPPED \]/ { skipped = 1; grab = 0; next }
  grab && NF { reason = reason (reason == "" ? "" : " ") $0 }
' "$log"
exit 0
