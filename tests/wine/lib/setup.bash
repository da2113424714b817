# Set-up shared by the Wine scripts: quiet Wine without menu entries, a work
# folder, and a prefix of its own unless WINEPREFIX names one.
# wine_work NAME: sets WORK and own_prefix (1 when the prefix is ours to stop).
wine_work() {
  export WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d"
  WORK=$(mktemp -d "/tmp/upkeep-wine-$1.XXXXXX")
  own_prefix=
  if [ -z "${WINEPREFIX:-}" ]; then
    export WINEPREFIX=$WORK/prefix
    own_prefix=1
    wineboot -i >/dev/null 2>&1
  fi
}
