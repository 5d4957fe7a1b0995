#!/usr/bin/env bash
# A fresh Wine prefix for the Windows build's tests; its first start is slow,
# so it is made once before them.
set -euo pipefail
export WINEPREFIX=$1 WINEDEBUG=-all
rm -rf "$WINEPREFIX"
wine cmd /c exit >/dev/null 2>&1
wineserver -w
