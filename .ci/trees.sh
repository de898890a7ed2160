# shellcheck shell=bash
# What the steps that make Debian trees share (sourced by .ci/fresh-debian,
# .ci/systemd and .ci/debian): trees made by mmdebstrap from this machine's own
# package sources, so that the project names no mirror, and kept as tarballs in
# the cache directory (ZORVANDELITH_CI_CACHE, default
# /var/cache/zorvandelith-ci) with apt's downloads beside them. The sourcing
# script defines fail.

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
}

# A minimal tree with systemd as its init: the one .ci/systemd boots, and the
# testbed of piuparts and autopkgtest in .ci/debian. The package's
# dependencies are all in it.
systemd_tree() {
  cached_tree systemd "$1" --variant=minbase --include=systemd,systemd-sysv,dbus,libpam-systemd,passwd
}
