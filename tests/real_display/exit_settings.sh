#!/usr/bin/env bash
# Closing the window through the window manager ends the program and writes the settings
# back byte for byte, whatever bytes the folder holds.
. "$(dirname "$0")/desktop_env.sh"

start_desktop
dir=$WORK/start
mkdir -p "$dir"

# settings line (printf format) | how the window is closed
cases=(
  '1|/some/folder\r\n|wm-close'
  '0|/tmp/with space/and|bar\r\n|alt-f4'
  '1|/tmp/\351t\351 latin1\r\n|wm-close'
  '0|\r\n|alt-f4'
)
for case in "${cases[@]}"; do
  line=${case%|*}
  how=${case##*|}
  note "$how with $line"
  printf "$line" >"$dir/settings.ini"
  cp "$dir/settings.ini" "$WORK/expected"

  start_findlark "$dir"
  wait_main_window
  case $how in
    wm-close) wmctrl -i -c "$WIN" ;;
    alt-f4)
      focus_main_window
      xdotool key alt+F4
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
