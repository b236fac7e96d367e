#!/usr/bin/env bash
# Closing the window through the window manager, or the session ending (SIGTERM, SIGHUP), ends
# the program and writes the settings back byte for byte, whatever bytes the folder holds.
. "$(dirname "$0")/harness.sh"
desktop x11
mkdir -p "$WORK/start"
# how the window is closed | settings line (printf format). A stale second line shows that the
# file was written again; search-TERM searches the whole machine, so that the search is still
# running when the signal comes.
while IFS='|' read -r how line; do
  note "$how with $line"
  printf "$line" >"$WORK/expected"
  printf "${line}stale\r\n" >"$WORK/start/settings.ini"
  start "$WORK/start"
  window
  case $how in
    wm-close) wmctrl -i -c "$WIN" ;;
    alt-f4) focus && key alt+F4 ;;
    TERM | HUP) kill -"$how" "$FL_PID" ;;
    search-TERM) search_for e && kill -TERM "$FL_PID" ;;
  esac
  exits "$FL_PID"
  cmp "$WORK/start/settings.ini" "$WORK/expected" || fail "$how: settings.ini changed: $(od -c "$WORK/start/settings.ini")"
done <<'TABLE'
wm-close|1|/some/folder\r\n
alt-f4|0|/tmp/with space/and|bar\r\n
wm-close|1|/tmp/\351t\351 latin1\r\n
alt-f4|0|\r\n
TERM|1|/tmp/term\r\n
HUP|0|/tmp/hup\r\n
search-TERM|1|/\r\n
TABLE
echo PASS
