#!/usr/bin/env bash
# A hostile web page in the preview on a real display: it reaches no listener on this
# machine, opens no window, and a click on its link goes to the desktop's browser (a
# recorder here), not into the pane; so does a mailto: link, to the mail handler.
. "$(dirname "$0")/harness.sh"
desktop x11
recorder browser x-scheme-handler/http x-scheme-handler/https x-scheme-handler/mailto
# Notes every connection made to it, on a free port of 127.0.0.1.
bg python3 -c 'import socket, sys
s = socket.create_server(("127.0.0.1", 0))
print(s.getsockname()[1], flush=True)
while True: s.accept()[0].close(); open(sys.argv[1], "a").write("connection\n")' "$WORK/heard" >"$WORK/port"
wait_for test -s "$WORK/port" || fail "the listener did not start"
port=$(cat "$WORK/port")
data=$WORK/Downloads
mkdir -p "$data"
echo "the user's own secret" >"$data/secret.txt"
sed -e "s|@ORIGIN@|http://127.0.0.1:$port|g" -e "s|@WS_ORIGIN@|ws://127.0.0.1:$port|g" -e "s|@PORT@|$port|g" \
  -e "s|@SECRET@|file://$data/secret.txt|g" "$(dirname "$0")/../ui/data/hostile.htm" >"$data/offer.htm"
# A page whose link writes a mail; its label sorts after the hostile page's.
printf '<html><body><a style="display:block;font-size:48px;padding:24px 0" href="mailto:lark@example.org">Write</a></body></html>' \
  >"$data/offer mail.htm"
settings "$WORK/start" 0 "$data"
start "$WORK/start"
window
# Until the first preview the browser engine and GL cost nothing: neither is even mapped.
maps() { grep -Eo 'libQt6WebEngineCore[^ ]*|[a-z0-9_]+_dri\.so|libLLVM[^ ]*' "/proc/$FL_PID/maps" | sort -u; }
[ -z "$(maps)" ] || fail "mapped before any preview: $(maps | tr '\n' ' ')"
search_for offer

# The tree: the Documents node first, Webpages the fifth node, the page right under it.
preview_row 5 || { shot "$WORK/shot.png"; fail "the page did not show in the preview"; }
maps | grep -q WebEngineCore || fail "the preview runs without the browser engine?"
sleep 3  # time for the page's refresh, timer and form, had they been let through
[ ! -s "$WORK/heard" ] || fail "the previewed page reached the listener: $(wc -l <"$WORK/heard") connections"
[ "$(wmctrl -l | grep -c .)" = 1 ] || fail "the page opened windows: $(wmctrl -l)"
unrecorded browser
note "a click on the page's link"
xdotool mousemove $((X + W / 3 + 60)) $((Y + 84)) click 1
recorded browser 1 "http://127.0.0.1:$port/clicked"
sleep 1
[ ! -s "$WORK/heard" ] || fail "the click made the pane itself load the link"
previewing || fail "the pane no longer shows the page"
note "a click on a mailto: link"
: >"$WORK/browser"
key shift+Tab shift+Tab Down  # back to the tree, past the Options button
sleep 2
xdotool mousemove $((X + W / 3 + 60)) $((Y + 84)) click 1
recorded browser 1 "mailto:lark@example.org"
note "closing the window with the browser running ends the program cleanly"
wmctrl -i -c "$WIN"
exits "$FL_PID"
echo PASS
