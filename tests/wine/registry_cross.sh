#!/usr/bin/env bash
# The Windows build writes registry values under Wine and reads them back with
# the system's registry API; then the Linux build reads the same values from the
# hive Wine saved. Both must give the same answers.
set -euo pipefail
: "${BIN:?}" "${LINUX_BIN:?}" "${WINEPREFIX:?}"
export WINEDEBUG=-all LC_ALL=C UPKEEP_REGISTRY_CROSS=1
key='HKLM\Software\UpkeepRegistryCross'
key32='HKLM\Software\UpkeepRegistryCross32'
clean() {
  wine reg delete "$key" /f >/dev/null 2>&1 || true
  wine reg delete "$key32" /f /reg:32 >/dev/null 2>&1 || true
}
trap clean EXIT
clean
# Values as an installer script writes them with Wine's reg tool; the second
# key lands in the 32-bit view (Software\Wow6432Node).
add() { LC_ALL=C.UTF-8 wine reg add "$@" /f >/dev/null; }
add "$key\RegAdd" /v Path /t REG_SZ /d 'C:\Games\X'
add "$key\RegAdd" /ve /t REG_SZ /d 'C:\Default\Dir\'
add "$key\RegAdd" /v Exp /t REG_EXPAND_SZ /d '%ProgramFiles%\Game'
add "$key\RegAdd" /v Accents /t REG_SZ /d 'C:\Gry\Café'
add "$key32\Game" /v Path /t REG_SZ /d 'C:\Games\W32' /reg:32
wine "$BIN/upkeep_tests.exe" --gtest_filter='RegistryCross.*' 2>&1 | tr -d '\r' | tee /tmp/registry_cross.$$
grep -q '^\[  PASSED  \] 2 tests' /tmp/registry_cross.$$ || { rm -f /tmp/registry_cross.$$; exit 1; }
rm -f /tmp/registry_cross.$$
# The hives are on disk once the server has gone; a server kept alive by a
# stray process is stopped, which saves them too.
timeout 120 wineserver -w || { wineserver -k || true; sleep 2; }
grep -q 'UpkeepRegistryCross' "$WINEPREFIX/system.reg"
"$LINUX_BIN/upkeep_tests" --gtest_filter='RegistryCross.*' 2>&1 |
  tee /tmp/registry_cross.$$
grep -q '^\[  PASSED  \] 2 tests' /tmp/registry_cross.$$ && ! grep -q SKIPPED /tmp/registry_cross.$$
status=$?
rm -f /tmp/registry_cross.$$
exit $status
