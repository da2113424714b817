# A Wine prefix with an X display of its own, for scripts that show windows.
# Source it after setting $work; then `start_desktop FIRST LAST` picks the first
# free display number in FIRST..LAST. The EXIT trap stops Wine and Xvfb and
# removes $work.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
xvfb_pid=
cleanup() {
  wineserver -k >/dev/null 2>&1
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

start_desktop() {
  local n display=
  for n in $(seq "$1" "$2"); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=$n; break; }
  done
  [ -n "$display" ] || { echo "no free X display in $1..$2"; exit 1; }
  Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
  export DISPLAY=":$display"
  wineboot -i >/dev/null 2>&1
  # Wine draws the window frames itself: there is no window manager here.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
}

# ui ARGS: the window tool ($BIN/upkeep_ui.exe), its output without CRs. Bounded,
# so that a Wine that stops answering fails the check instead of hanging. Through
# a file, not a pipe: the desktop process a call may start inherits its output
# and would hold a pipe open for as long as the prefix lives. Calls may run side
# by side: a file each.
ui() {
  local rc out
  out=$(mktemp "$work/ui.XXXXXX")
  timeout 120 wine "$BIN/upkeep_ui.exe" "$@" >"$out" 2>&1
  rc=$?
  tr -d '\r' <"$out"
  rm -f "$out"
  return $rc
}
