# A nested weston inside the test's own X server (weston's headless backend has no input
# devices), and helpers to drive the window on it. Source it after desktop_env.sh.

command -v weston >/dev/null ||
  fail "'weston' is not installed; scripts/install-deps.sh installs everything these tests need"

# No window manager: weston's window stays at the top left, and the keyboard follows the pointer,
# which rests inside it.
start_desktop bare
SOCKET=findlark-test-$$
cat >"$WORK/weston.ini" <<'INI'
[core]
idle-time=0
[shell]
background-color=0xff204060
panel-position=none
locking=false
animation=none
startup-animation=none
INI
weston --backend=x11-backend.so --socket="$SOCKET" --width=800 --height=600 \
  --config="$WORK/weston.ini" >"$WORK/weston.log" 2>&1 &
STARTED+=("$!")
weston_window() { xwininfo -root -tree 2>/dev/null | awk '/"Weston Compositor/ { print $1; exit }'; }
wait_until eval '[ -S "$XDG_RUNTIME_DIR/$SOCKET" ] && [ -n "$(weston_window)" ]' ||
  fail "weston did not start: $(tail -3 "$WORK/weston.log")"
WESTON=$(weston_window)
xdotool mousemove --window "$WESTON" 5 595

# Starts findlark in folder $1 as a Wayland client only: no X display to fall back on.
# Further arguments are extra environment settings.
start_wayland_findlark() {
  local dir=$1
  shift
  (cd "$dir" && exec env -u DISPLAY -u QT_QPA_PLATFORM WAYLAND_DISPLAY="$SOCKET" \
    XDG_SESSION_TYPE=wayland XDG_DATA_DIRS="$WORK/share" "$@" "$FINDLARK") \
    >>"$WORK/findlark.log" 2>&1 &
  FL_PID=$!
  STARTED+=("$FL_PID")
}

# A picture of weston's screen, and what it shows. The background is dark blue; the window
# is light, so its bright pixels give where it is.
shoot() { import -window "$WESTON" "$WORK/screen.png" 2>/dev/null; }
window_shown() {
  shoot || return 1
  local bright
  bright=$(convert "$WORK/screen.png" -colorspace gray -threshold 80% -format '%[fx:mean]' info:)
  awk -v b="$bright" 'BEGIN { exit !(b > 0.1) }'
}
window_gone() {
  shoot || return 1
  local bright
  bright=$(convert "$WORK/screen.png" -colorspace gray -threshold 80% -format '%[fx:mean]' info:)
  awk -v b="$bright" 'BEGIN { exit !(b < 0.01) }'
}
# Sets WX WY WW WH to the window's place on weston's screen, frame included. Opening the
# picture removes thin lines, such as the pointer's outline.
window_place() {
  shoot || return 1
  read -r WW WH WX WY < <(convert "$WORK/screen.png" -colorspace gray -threshold 80% \
    -morphology Open Square:4 -format '%@' info: | tr 'x+' '  ')
  [ -n "${WY:-}" ]
}
# Clicks at x,y of weston's screen with button $3 (default the left), then rests the pointer on
# the background in its corner. Paced as a hand moves: the frame Qt draws ignores a press and
# release that come together. The pointer comes in from outside weston's window, so weston sees
# it enter.
click_at() {
  xdotool mousemove 1000 700 sleep 0.2 mousemove --window "$WESTON" "$1" "$2" sleep 0.3 \
    mousedown "${3:-1}" sleep 0.2 mouseup "${3:-1}" sleep 0.3 mousemove --window "$WESTON" 5 595
}
# True when the darkest pixel of weston's screen area WxH+X+Y is dark: text, not a blank area.
weston_area_dark() {
  shoot || return 1
  local darkest
  darkest=$(convert "$WORK/screen.png" -crop "$1" -colorspace gray -format '%[fx:minima]' info:)
  awk -v d="$darkest" 'BEGIN { exit !(d < 0.3) }'
}
