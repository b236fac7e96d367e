#!/usr/bin/env bash
# A hostile web page in the preview on a real display: it reaches no listener on this
# machine, opens no window, and a click on its link goes to the desktop's browser (a
# recorder here), not into the pane.
. "$(dirname "$0")/desktop_env.sh"
fixture=$(dirname "$0")/../ui/data/hostile.htm

start_desktop
# The desktop's web browser: records the addresses it is given.
printf '#!/bin/sh\nfor a in "$@"; do printf "%%s\\n" "$a"; done >>"%s"\n' "$WORK/browsed" >"$WORK/browser.sh"
chmod +x "$WORK/browser.sh"
printf '[Desktop Entry]\nType=Application\nName=browser\nExec=%s %%u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;x-scheme-handler/mailto;\n' \
  "$WORK/browser.sh" >"$XDG_DATA_HOME/applications/browser.desktop"
printf '[Default Applications]\nx-scheme-handler/http=browser.desktop\nx-scheme-handler/https=browser.desktop\nx-scheme-handler/mailto=browser.desktop\n' \
  >"$XDG_CONFIG_HOME/mimeapps.list"

# Notes every connection made to it, on a free port of 127.0.0.1.
python3 -c '
import socket, sys
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(16)
print(s.getsockname()[1], flush=True)
while True:
    c, _ = s.accept()
    with open(sys.argv[1], "a") as f:
        f.write("connection\n")
    c.close()
' "$WORK/heard" >"$WORK/port" &
STARTED+=("$!")
wait_until test -s "$WORK/port" || fail "the listener did not start"
port=$(cat "$WORK/port")
origin=http://127.0.0.1:$port

data=$WORK/Downloads
mkdir -p "$data" "$WORK/start"
echo "the user's own secret" >"$data/secret.txt"
sed -e "s|@ORIGIN@|$origin|g" -e "s|@WS_ORIGIN@|ws://127.0.0.1:$port|g" -e "s|@PORT@|$port|g" \
  -e "s|@SECRET@|file://$data/secret.txt|g" "$fixture" >"$data/offer.htm"
# A page whose link writes a mail; its label sorts after the hostile page's.
printf '<html><body><a style="display:block;font-size:48px;padding:24px 0" href="mailto:lark@example.org">Write</a></body></html>' \
  >"$data/offer mail.htm"
write_settings "$WORK/start" 0 "$data"

start_findlark "$WORK/start"
wait_main_window
# Until the first preview the browser engine and GL cost nothing: neither is even mapped.
maps() { grep -Eo 'libQt6WebEngineCore[^ ]*|[a-z0-9_]+_dri\.so|libLLVM[^ ]*' "/proc/$FL_PID/maps" | sort -u; }
[ -z "$(maps)" ] || fail "mapped before any preview: $(maps | tr '\n' ' ')"
search_for offer

# The tree: the Documents node first, Webpages the fifth node, the page right under it.
deadline=$((SECONDS + 2 * TIMEOUT))  # the browser engine's first start is slow
until {
  WIN=$(main_windows) && client_geometry &&
    xdotool mousemove $((CX + 60)) $((CY + 34)) click 1 mousemove $((CX + 60)) $((CY + 52)) click 1 &&
    xdotool key --delay 50 Down Down Down Down Down && wait_until preview_shows_text
}; do
  ((SECONDS < deadline)) || { import -window root "$WORK/shot.png"; fail "the page did not show in the preview"; }
done
maps | grep -q WebEngineCore || fail "the preview runs without the browser engine?"
sleep 3  # time for the page's refresh, timer and form, had they been let through
[ ! -s "$WORK/heard" ] || fail "the previewed page reached the listener: $(wc -l <"$WORK/heard") connections"
[ "$(wmctrl -l | grep -c .)" -eq 1 ] || fail "the page opened windows: $(wmctrl -l)"
[ ! -s "$WORK/browsed" ] || fail "an address went to the browser without a click: $(cat "$WORK/browsed")"

note "a click on the page's link"
client_geometry
xdotool mousemove $((CX + CW / 3 + 60)) $((CY + 44 + 40)) click 1
wait_until test -s "$WORK/browsed" || { import -window root "$WORK/shot.png"; fail "the link did not reach the browser"; }
[ "$(cat "$WORK/browsed")" = "$origin/clicked" ] || fail "the browser was given: $(cat "$WORK/browsed")"
sleep 1
[ ! -s "$WORK/heard" ] || fail "the click made the pane itself load the link"
preview_shows_text || fail "the pane no longer shows the page"

note "a click on a mailto: link"
: >"$WORK/browsed"
xdotool key --delay 100 shift+Tab shift+Tab Down  # back to the tree, past the Options button
sleep 2
client_geometry
xdotool mousemove $((CX + CW / 3 + 60)) $((CY + 44 + 40)) click 1
wait_until test -s "$WORK/browsed" || { import -window root "$WORK/shot.png"; fail "the mailto: link did not reach the mail handler"; }
[ "$(cat "$WORK/browsed")" = "mailto:lark@example.org" ] || fail "the mail handler was given: $(cat "$WORK/browsed")"

note "closing the window with the browser running ends the program cleanly"
wmctrl -i -c "$WIN"
wait_exit "$FL_PID"
[ "$STATUS" -eq 0 ] || fail "the program ended with status $STATUS"

echo "PASS"
