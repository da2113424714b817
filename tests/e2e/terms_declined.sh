#!/usr/bin/env bash
# The terms text: shown first, declining ends the program with 0 before
# anything is read or written, accepting goes on, -force skips it. Texts reach
# the terminal as UTF-8 from the string table's code page.
source "$SRC/tests/e2e/lib/e2e.bash"

# Polish terms in code page 1250, with a locale that says so.
printf 'Warunki aktualizacji\r\nZa\xbf\xf3\xb3\xe6 g\xea\x9cl\xb9 ja\x9f\xf1\r\n' >"$WORK/umowa.txt"
install_game
make_updater "$WORK/update" --terms "$WORK/umowa.txt" 'LOCALE=Polish' \
  'IDS_TITLE_LICENCE=Umowa licencyjna' 'IDS_BTN_ACCEPT=&Akceptuj' 'IDS_BTN_DECLINE=&Odrzu'$'\xe6'

# No terminal: nobody could read the terms or answer; that is said, and
# nothing is shown or done.
run_updater "$WORK/update" </dev/null
expect_rc 2 "without a terminal"
expect_out "none is there to answer them"
expect_no_out "Umowa licencyjna"
expect_absent "$GAME/patch.log"
expect_old_game

# On a terminal: shown as UTF-8, declined; the end of input (Ctrl-D)
# declines as well.
ANSWERS=(2)
in_terminal "$WORK/update"
expect_rc 0 "declined"
expect_out "== Umowa licencyjna =="
expect_out "Zażółć gęślą jaźń"
expect_out "[1] Akceptuj  [2] Odrzuć"
expect_no_out "== Sample Game" "nothing after the terms:"
ANSWERS=()
in_terminal "$WORK/update"
expect_rc 0 "input ended"
expect_absent "$GAME/patch.log"

# Accepted by its initial: the main dialog follows, Close ends it.
ANSWERS=(a 2)
in_terminal "$WORK/update"
expect_rc 255 "accepted, then closed"
expect_out "== Sample Game 1.0.1 update 1.0.0.0 -> 1.0.0.1 =="
expect_old_game

# -force: no terms at all.
run_updater "$WORK/update" -force </dev/null
expect_rc 0 "forced"
expect_no_out "Umowa licencyjna"
expect_new_game

finish
