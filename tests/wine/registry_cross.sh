#!/usr/bin/env bash
# The Windows build writes registry values under Wine and reads them back with
# the system's registry API; then the Linux build reads the same values from the
# hive Wine saved. Both must give the same answers.
set -euo pipefail
: "${BIN:?}" "${LINUX_BIN:?}" "${WINEPREFIX:?}"
export WINEDEBUG=-all LC_ALL=C UPKEEP_REGISTRY_CROSS=1
key='HKLM\Software\UpkeepRegistryCross'
trap 'wine reg delete "$key" /f >/dev/null 2>&1 || true' EXIT
wine reg delete "$key" /f >/dev/null 2>&1 || true
wine "$BIN/upkeep_tests.exe" --gtest_filter='RegistryCross.*' 2>&1 | tr -d '\r' | tee /tmp/registry_cross.$$
grep -q '^\[  PASSED  \] 1 test' /tmp/registry_cross.$$ || { rm -f /tmp/registry_cross.$$; exit 1; }
rm -f /tmp/registry_cross.$$
# The hives are on disk once the server has gone; a server kept alive by a
# stray process is stopped, which saves them too.
timeout 120 wineserver -w || { wineserver -k || true; sleep 2; }
grep -q 'UpkeepRegistryCross' "$WINEPREFIX/system.reg"
"$LINUX_BIN/upkeep_tests" --gtest_filter='RegistryCross.*' 2>&1 |
  tee /tmp/registry_cross.$$
grep -q '^\[  PASSED  \] 1 test' /tmp/registry_cross.$$ && ! grep -q SKIPPED /tmp/registry_cross.$$
status=$?
rm -f /tmp/registry_cross.$$
exit $status
