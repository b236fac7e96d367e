#!/usr/bin/env bash
# One window per display: later starts bring the first one forward and end without a window,
# tray icon or settings file of their own; a rendezvous left by a killed instance is taken over.
. "$(dirname "$0")/harness.sh"
desktop x11 tray
settings "$WORK/first" 0 "$WORK"
# A second line that a rewrite would drop, so any write by a later start shows.
mkdir -p "$WORK/second" && printf '1|/elsewhere\r\nsecond line\n' | tee "$WORK/before" >"$WORK/second/settings.ini"
# Starts the program again in the second folder; it must end at once, leaving one window,
# one icon and the settings as they were.
again() {
  start "$WORK/second"
  exits "$FL_PID"
  ended "$first" && fail "the first instance ended"
  [ "$(windows)" = 1 ] && [ "$(tray_icons)" = 1 ] || fail "$(windows) windows, $(tray_icons) tray icons"
  cmp "$WORK/second/settings.ini" "$WORK/before" || fail "the second start wrote settings.ini"
}

start "$WORK/first"
first=$FL_PID
window
tray_icon
note "a second start while the window is shown"
again
note "a second start while the window is hidden in the tray"
minimise
again
wait_for shown || fail "the hidden window was not shown again"
xdotool search --onlyvisible --name '^Findlark$' | grep -qx "$((WIN))" || fail "the window is not listed as visible"
wait_for active || fail "the shown window was not brought forward"
wmctrl -i -c "$WIN"
exits "$first"
wait_for eval '[ "$(windows)" = 0 ]' || fail "the window stayed after exit"

note "two starts at the same moment"
start "$WORK/first" && a=$FL_PID && start "$WORK/first" && b=$FL_PID
wait_for eval 'ended $a || ended $b' || fail "both starts kept running"
if ended "$a"; then loser=$a first=$b; else loser=$b first=$a; fi
exits "$loser"
window
ended "$first" && fail "the running instance ended too"

note "a rendezvous left by a killed instance"
kill -KILL "$first"
exits "$first" 137
[ -n "$(find "$XDG_RUNTIME_DIR" -maxdepth 1 -type s -name 'findlark-*')" ] || fail "the killed instance left no socket behind"
wait_for eval '[ "$(windows)" = 0 ]' || fail "the killed window stayed"
start "$WORK/first"
first=$FL_PID
window
tray_icon
again  # answered on the taken-over rendezvous
echo PASS
