#!/usr/bin/env bash
# What a publisher ships and a player downloads: an updater whose package is
# damaged or missing refuses with its own message even when a whole update
# lies loose in its folder, and a Windows update signed after make reads and
# applies as the unsigned one does, while bytes added after its signature are
# refused.
source "$SRC/tests/e2e/lib/e2e.bash"

DAMAGED='This update file is damaged or incomplete'

install_game
make_updater "$WORK/update"

# A folder holding everything the package holds, as loose files.
planted=$WORK/downloads
"$BIN/upkeep-pack" extract "$WORK/update" "$planted" >/dev/null || fail "extract"
cp "$WORK/Strings.scr" "$planted/Strings.scr"
[ -e "$planted/PATCH.SCR" ] || fail "nothing planted"

# run_in_downloads UPDATER: started from the planted folder, forced.
run_in_downloads() {
  local name
  name=$(basename "$1")
  cp "$1" "$planted/$name" && chmod +x "$planted/$name"
  OUT=$WORK/out.txt
  (cd "$planted" && WINEPREFIX=$PREFIX DISPLAY= timeout 60 "./$name" -force </dev/null) \
    >"$OUT" 2>&1
  RC=$?
}

head -c -1000 "$WORK/update" >"$WORK/truncated"
cp "$BIN/upkeep" "$WORK/stub-alone"
for case in truncated stub-alone; do
  run_in_downloads "$WORK/$case"
  expect_rc 3 "$case"
  expect_out "$DAMAGED" "$case"
  expect_out "Please download the update again." "$case"
  expect_no_out "&IDS_" "$case"
  expect_old_game
  expect_absent "$GAME/patch.log"
done
# The whole updater in the same folder still works, from its own package.
run_in_downloads "$WORK/update"
expect_rc 0 "intact updater beside planted files"
expect_new_game

# Windows updates: a small real program with the updater's marker stands in
# for the updater stub.
PACK=$BIN/upkeep-pack
sig=$WORK/sig
mkdir -p "$sig"
printf '%s\n' '__attribute__((used)) const char marker[] = "#upkeep-updater-stub#1#";' \
  'int main(void) { return 0; }' >"$sig/stub.c"
x86_64-w64-mingw32-gcc -s "$sig/stub.c" -o "$sig/stub.exe" || fail "stub"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$sig/key.pem" -out "$sig/cert.pem" -days 2 \
  -subj "/CN=Sample Studio" -addext "extendedKeyUsage=codeSigning" >/dev/null 2>&1 ||
  fail "certificate"
sign() {  # sign IN OUT
  osslsigncode sign -certs "$sig/cert.pem" -key "$sig/key.pem" -n "Sample Game update" \
    -in "$1" -out "$2" >/dev/null 2>&1 || fail "signing $1"
}
make_windows() {  # make_windows STUB OUT [OPTIONS]
  "$PACK" make --old "$WORK/trees/old" --new "$WORK/trees/new" --strings "$WORK/Strings.scr" \
    --stub "$1" -o "$2" "${@:3}" 2>"$WORK/make.err" || fail "make with $1: $(cat "$WORK/make.err")"
}
make_windows "$sig/stub.exe" "$sig/update.exe"
[ $(($(stat -c %s "$sig/update.exe") % 8)) -eq 0 ] || fail "the package does not end on 8 bytes"
osslsigncode verify -in "$sig/update.exe" 2>&1 | grep -q 'invalid PE checksum' &&
  fail "make wrote a wrong PE checksum"
sign "$sig/update.exe" "$sig/signed.exe"
osslsigncode verify -CAfile "$sig/cert.pem" -in "$sig/signed.exe" >"$WORK/verify.txt" 2>&1 ||
  fail "the signature does not verify: $(tail -3 "$WORK/verify.txt")"

# apply_to NAME PACKAGE: applies it to a fresh old tree; LOG_NAME keeps the log.
apply_to() {
  rm -rf "$WORK/apply-$1"
  cp -r "$WORK/trees/old" "$WORK/apply-$1"
  "$PACK" apply "$2" --dir "$WORK/apply-$1" >"$WORK/apply-$1.txt" 2>&1
}
apply_to unsigned "$sig/update.exe" || fail "apply of the unsigned update"
apply_to signed "$sig/signed.exe" || fail "apply of the signed update"
diff -r "$WORK/apply-signed" "$WORK/trees/new" >/dev/null || fail "signed apply: trees differ"
sed "s|apply-signed|apply-unsigned|g" "$WORK/apply-signed.txt" | cmp -s - "$WORK/apply-unsigned.txt" ||
  fail "signed and unsigned runs logged differently"
"$PACK" list "$sig/signed.exe" >"$WORK/list.txt" || fail "list of the signed update"
grep -q 'PATCH.SCR' "$WORK/list.txt" || fail "list of the signed update lacks patch.scr"
"$PACK" verify "$sig/signed.exe" >/dev/null || fail "verify of the signed update"

# Data after the certificate table is outside the signature: refused.
cp "$sig/signed.exe" "$sig/appended.exe"
cat "$sig/update.exe" >>"$sig/appended.exe"
"$PACK" list "$sig/appended.exe" >/dev/null 2>"$WORK/list.err" && fail "list of an appended file"
grep -q 'not a package' "$WORK/list.err" || fail "appended file: $(cat "$WORK/list.err")"
apply_to appended "$sig/appended.exe" && fail "apply of an appended file"

# A stub signed before make: warned about, and its signature taken off so
# that the update can be signed and read.
sign "$sig/stub.exe" "$sig/signed-stub.exe"
make_windows "$sig/signed-stub.exe" "$sig/from-signed-stub.exe"
grep -q 'warning: .*sign the finished update, not the stub' "$WORK/make.err" ||
  fail "no warning for a signed stub"
sign "$sig/from-signed-stub.exe" "$sig/resigned.exe"
osslsigncode verify -CAfile "$sig/cert.pem" -in "$sig/resigned.exe" >/dev/null 2>&1 ||
  fail "an update made from a signed stub cannot be signed"
"$PACK" verify "$sig/resigned.exe" >/dev/null || fail "verify of an update made from a signed stub"

# Signed by make itself, offline (no time stamp) with a certificate of the
# publisher's own: the command gets the unsigned update and writes the file
# that ships, which verifies against that certificate and reads as a package.
make_windows "$sig/stub.exe" "$sig/Game-1.0.1.exe" --sign \
  "osslsigncode sign -certs '$sig/cert.pem' -key '$sig/key.pem' -n 'Sample Game update' \
    -in '{in}' -out '{out}'"
[ -e "$sig/Game-1.0.1-unsigned.exe" ] && fail "make --sign left the unsigned update"
osslsigncode verify -CAfile "$sig/cert.pem" -in "$sig/Game-1.0.1.exe" >"$WORK/verify.txt" 2>&1 ||
  fail "make --sign: the signature does not verify: $(tail -3 "$WORK/verify.txt")"
"$PACK" verify "$sig/Game-1.0.1.exe" >/dev/null || fail "verify of the update make signed"
# A signing command that fails keeps the unsigned update and writes nothing.
"$PACK" make --old "$WORK/trees/old" --new "$WORK/trees/new" --strings "$WORK/Strings.scr" \
  --stub "$sig/stub.exe" -o "$sig/Failed.exe" --sign 'false' 2>"$WORK/make.err"
[ $? -eq 1 ] || fail "a failed signing: exit code"
grep -q 'the signing command failed (exit code 1); the unsigned update is kept' "$WORK/make.err" ||
  fail "a failed signing: $(cat "$WORK/make.err")"
[ ! -e "$sig/Failed.exe" ] && [ -e "$sig/Failed-unsigned.exe" ] || fail "a failed signing's files"

# Developers may still feed a run from loose files, but only when they ask.
"$PACK" apply "$WORK/update" --dir "$WORK/apply-unsigned" --dry-run --loose-files >/dev/null 2>&1
[ $? -eq 1 ] || fail "apply --loose-files: exit code"

finish
