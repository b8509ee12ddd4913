#!/usr/bin/env bash
# Usage: unit_sandbox.sh UNIT
# Fails when systemd's offline security analysis rates the unit's exposure above 2.0, or when the
# sandbox took away what the gateway needs: serial devices through the group dialout, Internet
# and local sockets for PostgreSQL. Exit status 77 (skipped) only without systemd-analyze.
set -uo pipefail
unit=$1
if ! command -v systemd-analyze >/dev/null; then
  echo "SKIPPED: systemd-analyze is not installed (scripts/deps installs the package systemd)"
  exit 77
fi
report=$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1)
status=$?
echo "$report"
failed=0
fail() { echo "FAILED: $*"; failed=1; }
[ $status -eq 0 ] || fail "systemd-analyze ended with status $status"

exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9][0-9]*\.[0-9]\).*/\1/p' <<<"$report")
if [ -z "$exposure" ]; then
  fail "no overall exposure level in the report"
elif ! awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }'; then
  fail "exposure $exposure is above 2.0"
else
  echo "exposure $exposure (at most 2.0)"
fi

# A line of the report: "✓" when the setting protects, "✗" when the service keeps the ability.
keeps() { grep -E "^✗ $1 " <<<"$report" >/dev/null; }
keeps 'SupplementaryGroups=' || fail "the service lost its supplementary group (dialout)"
keeps 'RestrictAddressFamilies=~AF_\(INET\|INET6\)' || fail "the service may not open Internet sockets"
keeps 'RestrictAddressFamilies=~AF_UNIX' || fail "the service may not open local sockets"
for kind in ttyS ttyUSB ttyACM; do
  grep -E "^✗ DeviceAllow=.*char-$kind:rw" <<<"$report" >/dev/null ||
    fail "the device list does not allow $kind serial devices for reading and writing"
done
grep -E '^SupplementaryGroups=.*\bdialout\b' "$unit" >/dev/null || fail "the group dialout is not given"
grep -E '^RestartPreventExitStatus=.*\b2\b' "$unit" >/dev/null || fail "a usage error (status 2) restarts"
grep -E '^StartLimitBurst=[0-9]+' "$unit" >/dev/null || fail "no start limit"
exit $failed
