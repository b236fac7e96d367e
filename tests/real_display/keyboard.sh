#!/usr/bin/env bash
# The window's keyboard and font cases of the window tests, again on a real X server with a
# window manager: Tab order, focus frames, Shift+F10, focus after a run, a double-size font.
. "$(dirname "$0")/desktop_env.sh"

start_desktop
"$FINDLARK" keyboardOnly focusAfterARun layoutAtDoubleFont >"$WORK/keyboard.log" 2>&1 || {
  grep -v QWARN "$WORK/keyboard.log" >&2
  fail "the keyboard cases failed on X11"
}
grep -E '^Totals' "$WORK/keyboard.log"
echo "PASS"
