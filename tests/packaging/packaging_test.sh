#!/usr/bin/env bash
# The user unit passes systemd's own check, the units are set as
# zorvandelith(8) and docs/debian.md say, and an installation holds the
# binaries, the units, the manual pages and the init script. The manual pages
# themselves are linted by tests/docs/check.sh.
# Usage: packaging_test.sh BUILD_DIR BINARY
set -euo pipefail
build=$1
binary=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if command -v systemd-analyze >/dev/null; then
  # Checked as they will be installed, except that ExecStart names the binary just built.
  mkdir -p "$work/system" "$work/user" "$work/xdg"
  chmod 700 "$work/xdg"
  sed "s|^ExecStart=.*|ExecStart=$binary|" "$build/packaging/zorvandelith.service" >"$work/system/zorvandelith.service"
  sed "s|^ExecStart=.*|ExecStart=$binary|" "$build/packaging/user/zorvandelith.service" >"$work/user/zorvandelith.service"
  sed "s|^ExecStart=.*|ExecStart=$binary|" "$build/packaging/examples/zorvandelith-peer.service" \
    >"$work/system/zorvandelith-peer.service"
  grep -qx 'User=zorvandelith' "$work/system/zorvandelith-peer.service" || fail "peer example runs as another user"
  # Exposure as systemd rates the unit files, the lower the better: the figures
  # docs/debian.md gives (.ci/systemd rates them again as they run).
  exposure() { systemd-analyze security --offline=true "$@" 2>/dev/null | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p'; }
  user_exposure=$(XDG_RUNTIME_DIR="$work/xdg" exposure --user "$work/user/zorvandelith.service")
  echo "exposure: user unit $user_exposure"
  awk -v u="$user_exposure" 'BEGIN { exit !(u != "" && u <= 1.0) }' ||
    fail "the user unit is less hardened than before: $user_exposure (1.0)"
  # The system units are judged by system_units_test.sh, which needs a system manager.
  XDG_RUNTIME_DIR="$work/xdg" systemd-analyze --user verify --man=no "$work/user/zorvandelith.service" ||
    fail "user unit does not verify"
  for unit in "$work/system/zorvandelith.service" "$work/user/zorvandelith.service"; do
    grep -qx 'Type=notify' "$unit" || fail "$unit is not Type=notify"
    grep -qx 'Restart=on-abnormal' "$unit" || fail "$unit restarts after normal ends"
    # Every end of the process's own, a start refused before READY=1 among them, exits 0.
    grep -qx 'RestartPreventExitStatus=0' "$unit" || fail "$unit restarts a start that failed before it was ready"
  done
  # The user unit must reach %t: "yes" makes it inaccessible, "tmpfs" hides the manager's socket.
  grep -qx 'ProtectHome=read-only' "$work/user/zorvandelith.service" || fail "the user unit cannot reach %t"
  # The names' directory belongs to the package, so that no unit's start or stop removes or re-owns it.
  for unit in "$work/system/zorvandelith.service" "$work/system/zorvandelith-peer.service"; do
    ! grep -Eq '^(RuntimeDirectory|StateDirectory|DynamicUser)=' "$unit" || fail "$unit lets systemd manage the names"
  done
  tmpfiles_line=$(grep -v '^#' "$(dirname "$0")/../../packaging/zorvandelith.tmpfiles")
  runtime=$(sed -n 's/^Environment=XDG_RUNTIME_DIR=//p' "$work/system/zorvandelith.service")
  [ "$tmpfiles_line" = "d $runtime 0700 zorvandelith zorvandelith -" ] ||
    fail "tmpfiles.d does not make the system unit's XDG_RUNTIME_DIR $runtime: $tmpfiles_line"
  grep -qx "ReadWritePaths=$runtime" "$work/system/zorvandelith.service" || fail "the system unit cannot write $runtime"
  # rtroot --system and root's default look where the system unit keeps its names.
  "$build/tools/rtroot/rtroot" --help | grep -q -- "--system: the system service's names, $runtime/rtroot\$" ||
    fail "rtroot --system does not name $runtime/rtroot"
else
  echo "systemd-analyze not found: units not verified"
fi

# What an installation holds, wherever this build installs it (the Debian
# package, debian/, installs exactly this).
DESTDIR="$work/installed" cmake --install "$build" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "cmake --install failed"; }
installed=$(cd "$work/installed" && find . -type f)
for file in sbin/zorvandelith bin/rtroot lib/systemd/system/zorvandelith.service lib/systemd/user/zorvandelith.service \
  lib/sysusers.d/zorvandelith.conf lib/tmpfiles.d/zorvandelith.conf share/man/man8/zorvandelith.8.gz \
  share/man/man1/rtroot.1.gz share/man/man7/zorvandelith-root.7.gz share/doc/zorvandelith/examples/zorvandelith-peer.service \
  etc/init.d/zorvandelith etc/logrotate.d/zorvandelith share/bash-completion/completions/rtroot; do
  grep -q "/$file\$" <<<"$installed" || fail "an installation lacks $file"
done
[ "$(wc -l <<<"$installed")" -eq 13 ] || fail "an installation holds more than its thirteen files:"$'\n'"$installed"

if [ "$failures" -ne 0 ]; then
  echo "$failures packaging checks failed"
  exit 1
fi
echo "packaging checks passed"
