#!/bin/bash
# The dialog at 120, 144 and 192 DPI, in a Wine prefix of the test's own set
# to each in turn: every line the run can write fits its control, and the
# banner fills the dialog's width. (Wine scales nothing itself: every
# window sees the prefix's DPI.)
# usage: dpi_test.sh DIALOG_TESTS WINE_RUN
set -u
dialog_tests=$(realpath "$1") wine_run=$(realpath "$2")
prefix=$(mktemp -d)
trap 'WINEPREFIX=$prefix wineserver -k 2>/dev/null; rm -rf "$prefix"' EXIT
failures=0
for dpi in 120 144 192; do
    "$wine_run" "$prefix" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d $dpi /f \
        >/dev/null 2>&1
    WINEPREFIX=$prefix wineserver -k 2>/dev/null
    WINEPREFIX=$prefix wineserver -w 2>/dev/null
    "$wine_run" "$prefix" "$dialog_tests" --gtest_filter=Dialog.ShowsEveryLineWhole 2>/dev/null |
        tr -d "\r" >"$prefix/out"
    if grep -q "OK \] Dialog.ShowsEveryLineWhole" "$prefix/out"; then
        echo "$dpi DPI: every line whole, the banner whole"
    else
        echo "FAIL: at $dpi DPI:" && cat "$prefix/out"
        failures=$((failures + 1))
    fi
done
exit $((failures > 0))
