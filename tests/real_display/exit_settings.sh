#!/usr/bin/env bash
# Closing the window through the window manager, or the session ending (SIGTERM, SIGHUP), ends
# the program and writes the settings back byte for byte, whatever bytes the folder holds.
. "$(dirname "$0")/desktop_env.sh"

start_desktop
dir=$WORK/start
mkdir -p "$dir"

# settings line (printf format) | how the window is closed. A stale second line shows that the
# file was written again.
cases=(
  '1|/some/folder\r\n|wm-close'
  '0|/tmp/with space/and|bar\r\n|alt-f4'
  '1|/tmp/\351t\351 latin1\r\n|wm-close'
  '0|\r\n|alt-f4'
  '1|/tmp/term\r\n|TERM'
  '0|/tmp/hup\r\n|HUP'
  '1|/\r\n|search-TERM'
)
for case in "${cases[@]}"; do
  line=${case%|*}
  how=${case##*|}
  note "$how with $line"
  printf "$line" >"$WORK/expected"
  { cat "$WORK/expected"; printf 'stale\r\n'; } >"$dir/settings.ini"

  start_findlark "$dir"
  wait_main_window
  case $how in
    wm-close) wmctrl -i -c "$WIN" ;;
    alt-f4)
      focus_main_window
      xdotool key alt+F4
      ;;
    TERM | HUP) kill -"$how" "$FL_PID" ;;
    search-TERM)
      # The whole machine, so the search is still running when the signal comes.
      search_for e
      kill -TERM "$FL_PID"
      ;;
  esac
  wait_exit "$FL_PID"
  [ "$STATUS" -eq 0 ] || fail "$how: the program ended with status $STATUS"
  cmp "$dir/settings.ini" "$WORK/expected" || {
    od -c "$dir/settings.ini" >&2
    fail "$how: settings.ini changed"
  }
done

echo "PASS"
