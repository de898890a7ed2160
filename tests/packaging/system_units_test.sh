#!/usr/bin/env bash
# systemd's own judgement of the system units: the service's and the example
# that shares its names verify, and the service's exposure as systemd rates
# the unit file is no worse than docs/debian.md says (.ci/systemd rates it again
# as it runs). Judging a system unit starts a system manager in test mode,
# which needs /run/systemd: a build chroot has none, and there only root could
# make it; there the test skips and says so.
# Usage: system_units_test.sh BUILD_DIR BINARY
set -euo pipefail
build=$1
binary=$2
if ! command -v systemd-analyze >/dev/null; then
  echo "Skipped: needs systemd-analyze (package systemd), which is not installed"
  exit 77
fi
if [ ! -d /run/systemd ] && [ "$(id -u)" -ne 0 ]; then
  echo "Skipped: needs /run/systemd to start a system manager in test mode: this machine has none (a chroot) and only root could make it"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Checked as they will be installed, except that ExecStart names the binary just built.
sed "s|^ExecStart=.*|ExecStart=$binary|" "$build/packaging/zorvandelith.service" >"$work/zorvandelith.service"
sed "s|^ExecStart=.*|ExecStart=$binary|" "$build/packaging/examples/zorvandelith-peer.service" \
  >"$work/zorvandelith-peer.service"
systemd-analyze verify --man=no "$work/zorvandelith.service" || fail "system unit does not verify"
systemd-analyze verify --man=no "$work/zorvandelith-peer.service" || fail "peer example does not verify"
exposure=$(systemd-analyze security --offline=true "$work/zorvandelith.service" 2>/dev/null |
  sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
echo "exposure: system unit $exposure"
awk -v s="$exposure" 'BEGIN { exit !(s != "" && s <= 0.6) }' ||
  fail "the system unit is less hardened than before: $exposure (0.6)"

[ "$failures" -eq 0 ] || exit 1
echo "the system units verify, and the service's exposure is $exposure"
