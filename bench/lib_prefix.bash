# The Wine prefix the update benches run in, the game installed and registered
# (made by Wine itself when Wine runs, else written as Wine would), and the
# string table of their updates. Needs WORK, WINE_RUNS and tests/e2e/lib/game.bash.
# Sets WINEPREFIX and game; writes $WORK/Strings.scr.
bench_prefix() {
  export WINEPREFIX=$WORK/prefix WINEDEBUG=-all
  unset DISPLAY WAYLAND_DISPLAY
  game="$WINEPREFIX/drive_c/Games/Bench Game"
  if [ ! -f "$WORK/prefix.$WINE_RUNS" ]; then
    rm -rf "$WINEPREFIX" "$WORK"/prefix.?
    if [ "$WINE_RUNS" != 0 ]; then
      wineboot -i >/dev/null 2>&1
      wine reg add 'HKLM\Software\Bench Studio\Bench Game' /v InstallPath /t REG_SZ \
        /d 'C:\Games\Bench Game' /f >/dev/null 2>&1
      wineserver -w
    else
      make_prefix "$WINEPREFIX"
      write_system_reg "$WINEPREFIX" 'Software\Bench Studio\Bench Game' InstallPath \
        'C:\Games\Bench Game'
    fi
    touch "$WORK/prefix.$WINE_RUNS"
  fi
  strings_with "$WORK/Strings.scr" 'REG_KEY=Software\Bench Studio\Bench Game' \
    'REG_DESTINATION=InstallPath' 'PROGRAM_NAME=Bench Game' 'PROGRAM_NAME_OLD=Bench Game' \
    'SRC_EXE=game.exe' 'GAME_VERSION=1.0.0.0' 'PATCH_VERSION=1.0.1' 'LANG_VERSION=en' \
    'SHOW_README=0'
}
