#!/usr/bin/env bash
# A screen reader's view of the window (AT-SPI), read by accessibility_check.py after a search.
. "$(dirname "$0")/harness.sh"
/usr/bin/python3 -c 'import pyatspi' || fail "python3-pyatspi is not installed"
desktop x11 bus atspi
files=$WORK/files
mkdir -p "$files/sub"
touch "$files/budget plan.txt" "$files/plan.mp3" "$files/other.txt"
echo "Larks sing over the harbour." >"$files/plan.txt"
echo "Another plan." >"$files/sub/plan.txt"  # the same name in another folder
echo "<p>A planned page.</p>" >"$files/plan.htm"
settings "$WORK/start" 0 "$files"
start "$WORK/start"
window
search_for plan
/usr/bin/python3 "$(dirname "$0")/accessibility_check.py" "$TIMEOUT" || fail "see above"
echo PASS
