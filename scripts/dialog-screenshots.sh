#!/usr/bin/env bash
# Remakes the dialog screenshots in docs/screenshots from the Windows build: the
# Wine dialog tests run under Xvfb and capture the windows as they go.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${BIN:-build/windows/bin}
BIN=$(cd "$bin" && pwd) SRC=$(pwd) SHOTS=$(pwd)/docs/screenshots bash tests/wine/dialogs.sh
