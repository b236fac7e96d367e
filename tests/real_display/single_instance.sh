#!/usr/bin/env bash
# One window per display: later starts bring the first one forward and end without a window,
# tray icon or settings file of their own; a rendezvous left by a killed instance is taken over.
. "$(dirname "$0")/desktop_env.sh"

start_desktop tray
first_dir=$WORK/first second_dir=$WORK/second
mkdir -p "$first_dir" "$second_dir"
write_settings "$first_dir" 0 "$WORK"
# A second line that a rewrite would drop, so any write by a later start shows.
printf '1|/elsewhere\r\nsecond line\n' >"$second_dir/settings.ini"
cp "$second_dir/settings.ini" "$WORK/settings.before"

start_findlark "$first_dir"
first=$FL_PID
wait_main_window
wait_tray_icon

note "a second start while the window is shown"
start_findlark "$second_dir"
wait_exit "$FL_PID"
[ "$STATUS" -eq 0 ] || fail "second start ended with status $STATUS"
has_ended "$first" && fail "the first instance ended"
[ "$(count_main_windows)" -eq 1 ] || fail "$(count_main_windows) windows titled Findlark"
[ "$(count_tray_icons)" -eq 1 ] || fail "$(count_tray_icons) tray icons"
cmp -s "$second_dir/settings.ini" "$WORK/settings.before" || fail "the second start wrote settings.ini"

note "a second start while the window is hidden in the tray"
xdotool windowminimize "$WIN"
wait_until is_hidden "$WIN" || fail "minimising did not hide the window"
start_findlark "$second_dir"
wait_exit "$FL_PID"
[ "$STATUS" -eq 0 ] || fail "second start ended with status $STATUS"
wait_until is_viewable "$WIN" || fail "the hidden window was not shown again"
xdotool search --onlyvisible --name '^Findlark$' | grep -qx "$((WIN))" ||
  fail "the window is not listed as visible"
active_is_main() { [ "$(xdotool getactivewindow 2>/dev/null)" = "$((WIN))" ]; }
wait_until active_is_main || fail "the shown window was not brought forward"
[ "$(count_main_windows)" -eq 1 ] || fail "$(count_main_windows) windows titled Findlark"
cmp -s "$second_dir/settings.ini" "$WORK/settings.before" || fail "the second start wrote settings.ini"

wmctrl -i -c "$WIN"
wait_exit "$first"
[ "$STATUS" -eq 0 ] || fail "the first instance ended with status $STATUS"
wait_until eval '[ "$(count_main_windows)" -eq 0 ]' || fail "the window stayed after exit"

note "two starts at the same moment"
start_findlark "$first_dir"
a=$FL_PID
start_findlark "$first_dir"
b=$FL_PID
wait_until eval 'has_ended $a || has_ended $b' || fail "both starts kept running"
if has_ended "$a"; then loser=$a winner=$b; else loser=$b winner=$a; fi
wait_exit "$loser"
[ "$STATUS" -eq 0 ] || fail "the later start ended with status $STATUS"
wait_main_window
has_ended "$winner" && fail "the running instance ended too"
[ "$(count_main_windows)" -eq 1 ] || fail "$(count_main_windows) windows titled Findlark"

note "a rendezvous left by a killed instance"
kill -KILL "$winner"
wait_exit "$winner"
stale=$(find "$XDG_RUNTIME_DIR" -maxdepth 1 -type s -name 'findlark-*')
[ -n "$stale" ] || fail "the killed instance left no socket behind; the case is not exercised"
wait_until eval '[ "$(count_main_windows)" -eq 0 ]' || fail "the killed window stayed"
start_findlark "$first_dir"
third=$FL_PID
wait_main_window
# The new instance answers on the taken-over rendezvous.
start_findlark "$second_dir"
wait_exit "$FL_PID"
[ "$STATUS" -eq 0 ] || fail "a start after the takeover ended with status $STATUS"
has_ended "$third" && fail "the instance that took over ended"
[ "$(count_main_windows)" -eq 1 ] || fail "$(count_main_windows) windows titled Findlark"

echo "PASS"
