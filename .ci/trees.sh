# shellcheck shell=bash
# What the steps that make Debian trees share (sourced by .ci/fresh-debian,
# .ci/systemd and .ci/debian; run by .ci/run, it makes them all at once):
# trees made by mmdebstrap from this machine's own package sources, so that
# the project names no mirror, and kept as tarballs in the cache directory
# (ZORVANDELITH_CI_CACHE, default /var/cache/zorvandelith-ci) with apt's
# downloads beside them. The sourcing script defines fail.

cache=${ZORVANDELITH_CI_CACHE:-/var/cache/zorvandelith-ci}

# The source files apt reads here, in apt's order.
host_sources() {
  local main parts file
  eval "$(apt-config shell main Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
  [ ! -s "$main" ] || echo "$main"
  for file in "${parts%/}"/*.list "${parts%/}"/*.sources; do
    [ ! -s "$file" ] || echo "$file"
  done
}

# This machine's Debian suite, from /etc/os-release.
host_suite() {
  local suite
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$suite" ] || fail "cannot tell this machine's Debian suite from /etc/os-release"
  echo "$suite"
}

# Prints the path of the cached tarball of a tree, making it first when it is
# missing or a week old, so that it stays near what Debian ships. Each kind of
# tree has a name of its own, apart from other steps' trees in the cache.
# Usage: cached_tree NAME SUITE [MMDEBSTRAP OPTION...]
cached_tree() {
  local name=$1 suite=$2 key tarball log sources
  shift 2
  mapfile -t sources < <(host_sources)
  [ ${#sources[@]} -gt 0 ] || fail "this machine's apt has no package sources to make the tree from"
  key=$(cat "${sources[@]}" | { echo "$suite $*"; cat; } | sha256sum | cut -c1-16)
  tarball=$cache/$name-$suite-$key.tar
  mkdir -p "$cache"
  # One run at a time makes a tree; another waits for it, then finds it made.
  {
    flock -w 1500 8 || fail "the $suite tree $name has been in the making elsewhere for 25 minutes"
    find "$cache" -maxdepth 1 -name "$name-$suite-*.tar" \( ! -name "${tarball##*/}" -o -mtime +6 \) -delete
    if [ -e "$tarball" ]; then
      echo "$tarball"
      return
    fi
    log=$(mktemp)
    if ! timeout --kill-after=10 1200 mmdebstrap --format=tar --quiet "$@" "$suite" "$tarball.part" "${sources[@]}" \
      >"$log" 2>&1; then
      cat "$log" >&2
      rm -f "$tarball.part" "$log"
      fail "cannot make the $suite tree $name: mmdebstrap $* failed"
    fi
    rm -f "$log"
    mv "$tarball.part" "$tarball"
    echo "$tarball"
  } 8>"$cache/$name-$suite.tree-lock"
}

# A minimal tree with systemd as its init: the one .ci/systemd boots, and the
# testbed of piuparts and autopkgtest in .ci/debian. The package's
# dependencies are all in it.
systemd_tree() {
  cached_tree systemd "$1" --variant=minbase --include=systemd,systemd-sysv,dbus,libpam-systemd,passwd
}

# What Debian's build daemons build in (.ci/debian).
buildd_tree() {
  cached_tree buildd "$1" --variant=buildd
}

# A host without systemd's tools, with what such a host makes system users
# with (piuparts without systemd, in .ci/debian).
without_systemd_tree() {
  cached_tree plain "$1" --variant=minbase --include=systemd-standalone-sysusers
}

# A fresh minimal Debian, as a user's machine begins (.ci/fresh-debian).
base_tree() {
  cached_tree base "$1" --variant=minbase
}

# Run rather than sourced (bash .ci/trees.sh): every tree above made, or found
# made. CI runs it beside its first steps, which compile, while making a tree
# mostly waits for the network and the disk.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  fail() {
    echo "trees: $*" >&2
    exit 1
  }
  command -v mmdebstrap >/dev/null || fail "mmdebstrap is not installed (tools/needs ci)"
  suite=$(host_suite)
  for tree in buildd_tree systemd_tree without_systemd_tree base_tree; do
    began=$SECONDS
    tarball=$("$tree" "$suite")
    echo "trees: ${tree%_tree} ($suite): $tarball in $((SECONDS - began)) s"
  done
fi
