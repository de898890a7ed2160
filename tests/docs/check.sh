#!/usr/bin/env bash
# What README.md, the pages of docs/ and the manual pages say is run, and the
# pages are well formed:
#  - every manual page lints clean (mandoc, groff), is installed by CMake,
#    which the Debian package installs as it is, is among the package's
#    contents, and names every other manual page in its SEE ALSO;
#  - every relative link of a Markdown page reaches a file, and every #anchor
#    a heading;
#  - every command a page gives (a line of a Markdown block marked sh, or
#    between .EX and .EE in a manual page) stands as it is in a CI script or a
#    test, or the page says which step runs it ("run by PATH") or why none
#    does ("not run by CI: REASON"); docs/checks.md gives the whole rule.
# Usage: check.sh SOURCE_DIR
set -euo pipefail
cd "$1"
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
for tool in mandoc groff; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing: tools/needs test installs it"; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
manual_pages=(packaging/*.[1-8])
markdown_pages=(README.md docs/*.md)

# --- The manual pages.
for page in "${manual_pages[@]}"; do
  said=$(mandoc -T lint -W style "$page" 2>&1) || true
  [ -z "$said" ] || fail "$page: mandoc -T lint: $said"
  said=$(groff -t -man -Tutf8 -ww -z "$page" 2>&1) || true
  [ -z "$said" ] || fail "$page: groff -ww: $said"
  name=${page#packaging/}
  section=${name##*.}
  grep -qF "packaging/$name.gz DESTINATION \${CMAKE_INSTALL_MANDIR}/man$section)" cmake/Packaging.cmake ||
    fail "$page is not installed by cmake/Packaging.cmake"
  grep -qxF -- "-rw-r--r-- ./usr/share/man/man$section/$name.gz" tests/packaging/package_test.sh ||
    fail "$page is not among the package's contents in tests/packaging/package_test.sh"
  grep -qF "share/man/man$section/$name.gz" tests/packaging/packaging_test.sh ||
    fail "$page is not among what tests/packaging/packaging_test.sh requires an installation to hold"
  # Its SEE ALSO, as read: roff's escapes (\-) left out.
  awk '/^\.SH / { on = $0 ~ /^\.SH "?SEE ALSO"?$/; next } on' "$page" | tr -d '\\' >"$work/see-also"
  for other in "${manual_pages[@]}"; do
    [ "$other" != "$page" ] || continue
    other_name=${other#packaging/}
    grep -qF "${other_name%.*} (${other_name##*.})" "$work/see-also" ||
      fail "$page: its SEE ALSO does not name ${other_name%.*}(${other_name##*.})"
  done
done

# --- Links between the Markdown pages, and anchors: a heading's anchor is
# its text in lower case, without punctuation, spaces made hyphens.
anchors() {
  awk '/^```/ { block = !block; next }
    !block && /^#+ / { sub(/^#+ /, ""); $0 = tolower($0); gsub(/[^a-z0-9 _-]/, ""); gsub(/ /, "-"); print }' "$1"
}
for page in "${markdown_pages[@]}"; do
  awk '/^```/ { block = !block; next }
    !block {
      gsub(/`[^`]*`/, "")
      while (match($0, /\]\([^)]*\)/)) {
        print FNR "\t" substr($0, RSTART + 2, RLENGTH - 3)
        $0 = substr($0, RSTART + RLENGTH)
      }
    }' "$page" >"$work/links"
  while IFS=$'\t' read -r line target; do
    case "$target" in http://* | https://* | mailto:*) continue ;; esac
    path=${target%%#*}
    anchor=
    [ "$path" = "$target" ] || anchor=${target#*#}
    file=$page
    [ -z "$path" ] || file=$(dirname "$page")/$path
    if [ ! -e "$file" ]; then
      fail "$page:$line: the link $target reaches no file"
    elif [ -n "$anchor" ] && ! anchors "$file" | grep -qxF -- "$anchor"; then
      fail "$page:$line: the link $target reaches no heading of $file"
    fi
  done <"$work/links"
done

# --- The commands. One line each, its fields apart by \037: page, line, the
# mark that says where it runs (if any), the command.
awk '
  function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
  # Where a comment says the command runs, or why it does not.
  function mark_in(comment) {
    if (match(comment, /not run by CI: *[^ ]/)) return substr(comment, RSTART)
    if (match(comment, /run by [^ ,;:()]+/)) return substr(comment, RSTART, RLENGTH)
    return ""
  }
  function unescape_roff(s) {
    gsub(/\\-/, "-", s); gsub(/\\\(aq/, "'\''", s); gsub(/\\\(dq/, "\"", s)
    gsub(/\\f[BIRP]/, "", s); gsub(/\\&/, "", s); gsub(/\\e/, "\\\\", s)
    return s
  }
  # A line of a block: a comment line of its own marks the commands after it;
  # a command may end in a comment of its own, and continue on the next line.
  function command_line(s, line,    i, c, quote, part, comment, mark) {
    if (pending == "" && s ~ /^[ \t]*#/) {
      mark = mark_in(s)
      if (mark != "") block_mark = mark
      return
    }
    part = s
    comment = ""
    quote = ""
    for (i = 1; i <= length(s); i++) {
      c = substr(s, i, 1)
      if (quote != "") { if (c == quote) quote = ""; continue }
      if (c == "\"" || c == "'\''") { quote = c; continue }
      if (c == "#" && (i == 1 || substr(s, i - 1, 1) ~ /[ \t]/)) {
        part = substr(s, 1, i - 1)
        comment = substr(s, i)
        break
      }
    }
    mark = mark_in(comment)
    if (mark != "") pending_mark = mark
    part = trim(part)
    if (pending_line == 0) pending_line = line
    if (part ~ /\\$/) {
      pending = pending trim(substr(part, 1, length(part) - 1)) " "
      return
    }
    part = pending part
    if (part != "")
      printf "%s\037%d\037%s\037%s\n", FILENAME, pending_line, (pending_mark != "" ? pending_mark : block_mark), part
    pending = ""; pending_mark = ""; pending_line = 0
  }
  FNR == 1 { in_block = 0; commands = 0; section = ""; markdown = FILENAME ~ /\.md$/ }
  markdown && !in_block && /^## / { section = substr($0, 4); first_block = 1 }
  markdown && /^```/ {
    if (in_block) { in_block = 0; next }
    in_block = 1
    commands = substr($0, 4) ~ /^sh([ \t]|$)/
    block_mark = ""
    # README'"'"'s first block under a heading that .ci/fresh-debian reads.
    if (FILENAME == "README.md" && first_block && section != "") block_mark = "readme:" section
    first_block = 0
    next
  }
  markdown && in_block && commands { command_line($0, FNR); next }
  !markdown && /^\.EX/ { in_block = 1; block_mark = ""; next }
  !markdown && /^\.EE/ { in_block = 0; next }
  !markdown && in_block && /^\.\\"/ { mark = mark_in($0); if (mark != "") block_mark = mark; next }
  !markdown && in_block && /^\./ { next }
  !markdown && in_block { command_line(unescape_roff($0), FNR) }
' "${markdown_pages[@]}" "${manual_pages[@]}" >"$work/commands"

# What CI scripts and tests run: every line of theirs but comments. This
# script is left out, so that no command counts as run for being named here.
find .ci tests debian/tests -type f ! -path tests/docs/check.sh -print0 | sort -z |
  xargs -0 grep -hv -E '^[[:space:]]*(#|//)' >"$work/run" || true

commands=0
not_run=()
while IFS=$'\037' read -r page line mark command; do
  commands=$((commands + 1))
  # CI runs as root: a leading sudo is the reader's, not the command's.
  command=${command#sudo }
  # A step named as the one that runs the command must be one, and run its program.
  if [[ "$mark" == "run by "* ]]; then
    step=${mark#run by }
    case "$step" in
      .ci/* | tests/* | debian/tests/*) ;;
      *) fail "$page:$line: \"$mark\" names no CI script or test: $command" && continue ;;
    esac
    [ -f "$step" ] || { fail "$page:$line: $step does not exist: $command" && continue; }
    # The program the command runs, after any variables set for it.
    program=$(awk '{ for (i = 1; i <= NF; i++) if ($i !~ /^[A-Za-z_][A-Za-z0-9_]*=/ && $i != "env") { print $i; exit } }' <<<"$command")
    [ -z "$program" ] || grep -qF -- "${program##*/}" "$step" ||
      { fail "$page:$line: $step, which is to run it, never names ${program##*/}: $command" && continue; }
  fi
  grep -qF -- "$command" "$work/run" && continue
  case "$mark" in
    "run by "*) ;;
    readme:*)
      grep -qF "readme_command \"${mark#readme:}\"" .ci/fresh-debian ||
        fail "$page:$line: run by no CI script or test (.ci/fresh-debian reads no command under" \
          "\"${mark#readme:}\"), and the page does not say which step runs it or why none does: $command"
      ;;
    "not run by CI:"*)
      not_run+=("$page:$line: $command (${mark#not run by CI: })")
      ;;
    *)
      fail "$page:$line: run by no CI script or test, and the page does not say which step runs it or why none does: $command"
      ;;
  esac
done <"$work/commands"
[ "$commands" -gt 0 ] || fail "no command found in the pages"

echo "$commands commands in ${#markdown_pages[@]} Markdown pages and ${#manual_pages[@]} manual pages"
if [ ${#not_run[@]} -gt 0 ]; then
  echo "not run by CI, as the pages say:"
  printf '  %s\n' "${not_run[@]}"
fi
if [ "$failures" -ne 0 ]; then
  echo "$failures checks of the pages failed"
  exit 1
fi
echo "the pages' commands are run, their manual pages lint clean, their links hold"
