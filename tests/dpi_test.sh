#!/bin/bash
# The dialog at 144 DPI, in a Wine prefix of the test's own set to it:
# every line the run can write fits its control, and the banner fills the
# dialog's width. (Wine scales nothing itself: every window sees 144.)
# usage: dpi_test.sh DIALOG_TESTS WINE_RUN
set -u
dialog_tests=$(realpath "$1") wine_run=$(realpath "$2")
prefix=$(mktemp -d)
trap 'WINEPREFIX=$prefix wineserver -k 2>/dev/null; rm -rf "$prefix"' EXIT
"$wine_run" "$prefix" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
WINEPREFIX=$prefix wineserver -k 2>/dev/null
WINEPREFIX=$prefix wineserver -w 2>/dev/null
"$wine_run" "$prefix" "$dialog_tests" --gtest_filter=Dialog.ShowsEveryLineWhole 2>/dev/null | tr -d '\r' >out
cat out
grep -q '\[  PASSED  \] 1 test' out && grep -q 'OK \] Dialog.ShowsEveryLineWhole' out
