#!/usr/bin/env bash
# Stale bank files go from the four data folders and everything below them,
# whatever the letter case; folders stay, dot folders are not entered, and
# nothing else is touched. An interrupted run deletes nothing.
source "$SRC/tests/e2e/lib/e2e.bash"

doomed=(
  "Data/Levels/bank01.bnk" "Data/Levels/BANK02.BNK" "Data/Levels/Bank"
  "Data/Levels/Island/North/bAnK03.x" "Data/Levels/bankdir/bank04"
  "Data/levelsnet/bank05" "Data/Films/Bank06.film" "Data/LevelsCustom/a/b/c/d/bank07"
)
kept=(
  "Data/Levels/.cache/bank08" "Data/Levels/.cache/deep/bank09" "Data/Levels/notbank.dat"
  "Data/Levels/bank10.dat/inside" "Data/Other/bank11" "Data/bank12" "bank13"
)

plant_banks() {
  local f
  for f in "${doomed[@]}" "${kept[@]}"; do
    mkdir -p "$GAME/$(dirname "$f")"
    printf 'bank' >"$GAME/$f"
  done
  # A folder named like a bank file: entered, never removed.
  mkdir -p "$GAME/Data/Levels/bank10.dat"
}

install_game
make_updater "$WORK/update"
make_updater "$WORK/german" 'LANG_VERSION=de'

install_game
plant_banks
run_updater "$WORK/german" -force </dev/null
expect_rc 1 "wrong language"
for f in "${doomed[@]}" "${kept[@]}"; do expect_exists "$GAME/$f"; done

run_updater "$WORK/update" -force </dev/null
expect_rc 0 "update"
expect_new_game
for f in "${doomed[@]}"; do expect_absent "$GAME/$f"; done
for f in "${kept[@]}"; do expect_exists "$GAME/$f"; done
for d in Data/Levels/Island/North Data/Levels/bankdir Data/LevelsCustom/a/b/c/d Data/Levels/.cache; do
  [ -d "$GAME/$d" ] || fail "folder removed: $d"
done
# The clean-up writes nothing to the log.
with_final "$SAMPLE_LOG" "$SUCCESS_TEXT"
expect_log "$LOG"

finish
