#!/usr/bin/env bash
# The tray icon: minimising hides the window, a left press brings it back, a right press
# offers the tray menu, and its Exit ends the program after writing the settings.
. "$(dirname "$0")/desktop_env.sh"

start_desktop tray
dir=$WORK/start
mkdir -p "$dir"
# Two lines: the exit rewrites the file as exactly one.
printf '1|%s\r\nstale second line\r\n' "$WORK" >"$dir/settings.ini"

start_findlark "$dir"
wait_main_window
wait_tray_icon

note "minimise hides the window in the tray"
wait_until is_viewable "$WIN" || fail "the main window was not shown"
xdotool windowmove --sync "$WIN" 40 60  # as the user would drag it
client_geometry
moved_to="$CX,$CY"
xdotool windowminimize "$WIN"
wait_until is_hidden "$WIN" || fail "minimising did not hide the window"
xdotool search --onlyvisible --name '^Findlark$' | grep -qx "$((WIN))" &&
  fail "the hidden window is still listed as visible"

note "a left press on the icon shows it"
xdotool mousemove "$TX" "$TY" mousedown 1
wait_until is_viewable "$WIN" || fail "a left press on the tray icon did not show the window"
xdotool mouseup 1
client_geometry
[ "$CX,$CY" = "$moved_to" ] || fail "back from the tray the window moved from $moved_to to $CX,$CY"

note "a right press opens the tray menu"
[ -z "$(popups)" ] || fail "a popup is shown before the right press"
xdotool mousemove "$TX" "$TY" mousedown 3
wait_until has_popup || fail "no menu appeared on the right press"
menu=$(popups | head -n1)
import -window "$menu" "$WORK/menu.png"
# Two items on a light background: the picture has dark text pixels in it.
darkest=$(convert "$WORK/menu.png" -colorspace gray -format '%[fx:minima]' info:)
awk -v d="$darkest" 'BEGIN { exit !(d < 0.3) }' || fail "the tray menu looks empty (darkest $darkest)"
xdotool mouseup 3
is_viewable "$menu" || fail "the menu closed when the right button was released"

note "Exit from the tray menu"
xdotool key x
wait_exit "$FL_PID"
[ "$STATUS" -eq 0 ] || fail "the program ended with status $STATUS"
printf '1|%s\r\n' "$WORK" >"$WORK/expected"
cmp "$dir/settings.ini" "$WORK/expected" || {
  od -c "$dir/settings.ini" >&2
  fail "settings.ini is not the one expected line"
}
[ "$(count_tray_icons)" -eq 0 ] || fail "the tray icon stayed after exit"

echo "PASS"
