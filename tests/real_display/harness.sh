# shellcheck shell=bash disable=SC2034,SC2120  # variables and arguments are for the case files
# The desktop tests' harness: run it with the path of findlark and a case file (cases/*.txt), or
# source it with the path of findlark as $1. It gives a test a private desktop (`desktop`), the
# program on it (`start`, `window`), input (`key`, `search_for`, `click_at`, `minimise`), waits
# (`wait_for`, `exits`), pictures (`shot`, `dark`), files (`write`, `same`) and recorders
# standing in for the applications files, links and mail go to (`recorder`, `recorded`).
# Private home and XDG folders, so nothing of the machine's own desktop is read or changed;
# every process started here is ended by its own pid when the test exits.
set -u
FINDLARK=$(realpath -e "${1:?usage: $0 path/to/findlark}") || exit 1
TIMEOUT=${FINDLARK_TEST_TIMEOUT:-60}  # seconds any one wait may take: generous, for a loaded machine
STARTED=() PLATFORM=x11 WESTON=root WORK=$(mktemp -d /tmp/findlark-desktop.XXXXXX)
fail() { echo "FAIL: $*${STEP:+ (at $STEP)}" >&2; exit 1; }
note() { echo "-- $*"; }
for tool in Xvfb openbox trayer weston dbus-daemon xdotool wmctrl xwininfo xprop import convert compare; do
  command -v "$tool" >/dev/null || fail "'$tool' is not installed (scripts/install-deps.sh)"; done

# Runs a command in the background, to be ended at exit.
bg() { "$@" & STARTED+=("$!"); }
end_pid() { kill -TERM "$1" 2>/dev/null && for _ in {1..50}; do ended "$1" && return; sleep 0.1; done && kill -KILL "$1"; }
cleanup() {
  for ((i = ${#STARTED[@]} - 1; i >= 0; i--)); do end_pid "${STARTED[i]}"; done
  wait 2>/dev/null
  [ -n "${FINDLARK_TEST_KEEP:-}" ] && echo "kept $WORK" || rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# Polls a command until it succeeds; false after $TIMEOUT seconds. Never a measure of speed.
wait_for() { local deadline=$((SECONDS + TIMEOUT)); until "$@"; do ((SECONDS < deadline)) || return 1; sleep 0.1; done; }
# True when process $1 has ended (a child that ended is a zombie until it is waited for).
ended() { local s; s=$(ps -o stat= -p "$1" 2>/dev/null) || return 0; [[ $s == Z* ]]; }
# Waits for child $1 to end and fails unless its exit status is $2 (default 0).
exits() {
  wait_for ended "$1" || fail "process $1 did not end"
  wait "$1" 2>/dev/null
  set -- "$1" "${2:-0}" $? && [ "$3" = "$2" ] || fail "process $1 ended with status $3, not $2"
}
# True when number $1 meets the comparison $2 ("< 0.3").
is() { awk -v v="$1" "BEGIN { exit !(v $2) }"; }

export HOME=$WORK/home XDG_CONFIG_HOME=$WORK/config XDG_DATA_HOME=$WORK/data XDG_RUNTIME_DIR=$WORK/runtime XDG_CACHE_HOME=$WORK/cache
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME/applications" "$XDG_CACHE_HOME" "$WORK/share"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
# For the program: the system's MIME database, but none of its applications, so only the
# test's own are known. (openbox needs the system's folders for its theme.)
ln -s /usr/share/mime "$WORK/share/mime"
unset WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER
# The browser engine will not run as root with its sandbox, and Xvfb has no GL.
export QT_QPA_PLATFORM=xcb QTWEBENGINE_DISABLE_SANDBOX=1 QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu

# Runs program $2... in the background, logging to $WORK/<its name>.log, and waits until
# command $1 succeeds or the program ends.
up() {
  local log=$WORK/${2##*/}.log
  bg "${@:2}" >>"$log" 2>&1
  wait_for eval "ended ${STARTED[-1]} || { $1; }" >/dev/null 2>&1 && ! ended "${STARTED[-1]}" ||
    { end_pid "${STARTED[-1]}"; echo "${2##*/} did not start: $(tail -3 "$log")" >&2; return 1; }
}
# Starts a private desktop: an X server on a free display, then for each word:
#   x11      openbox, the window manager (title bars, minimise, close)
#   tray     trayer, an XEmbed tray host
#   wayland  weston nested in the X server, with no window manager (weston's headless backend
#            has no input devices); the program then runs as a Wayland client only
#   bus      a session bus;  atspi  the accessibility bus on it;  sni  a D-Bus tray host on it
desktop() {
  # -noreset: no restart (and refused connections) each time the last client leaves.
  up 'test -s "$WORK/display"' Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$WORK/display" || fail
  export DISPLAY=:$(cat "$WORK/display")
  # The first synthetic key makes the test keyboard the one the server reads, which changes its
  # key map; a window manager rebinds its keys on that, and a key of a test arriving meanwhile
  # (Alt+F4) would reach the window instead. So that change happens now, before any client.
  xdotool key shift || fail "no synthetic keys on display $DISPLAY"
  for w; do
    case $w in
      x11) up 'wmctrl -m' openbox || fail ;;
      tray)  # On a loaded machine trayer sometimes gives up before openbox settles: try again.
        for _ in 1 2 3; do
          up 'xdotool search --onlyvisible --name "^panel$"' trayer --edge bottom --align right --widthtype pixel \
            --width 100 --height 24 && continue 2
        done
        fail ;;
      wayland)
        PLATFORM=wayland SOCKET=findlark-test-$$
        printf '[core]\nidle-time=0\n[shell]\nbackground-color=0xff204060\npanel-position=none\nlocking=false\nanimation=none\nstartup-animation=none\n' >"$WORK/weston.ini"
        up '[ -S "$XDG_RUNTIME_DIR/$SOCKET" ] && xwininfo -root -tree | grep "Weston Compositor"' weston \
          --backend=x11-backend.so --socket="$SOCKET" --width=800 --height=600 --config="$WORK/weston.ini" || fail
        WESTON=$(xwininfo -root -tree | awk '/"Weston Compositor/ { print $1; exit }')
        xdotool mousemove --window "$WESTON" 5 595 ;;  # the keyboard follows the pointer
      bus)
        export DBUS_SESSION_BUS_ADDRESS=unix:path=$WORK/bus
        up 'test -S "$WORK/bus"' dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS" || fail ;;
      atspi)
        bg /usr/libexec/at-spi-bus-launcher --launch-immediately >"$WORK/atspi.log" 2>&1
        export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 ;;
      sni)  # prints "ready", then the bus name of each icon that registers
        up 'grep -qx ready "$WORK/items"' /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/tray_watcher.py" "$WORK/items" || fail ;;
    esac
  done
  note "display $DISPLAY${SOCKET:+, wayland $SOCKET}"
}
# Starts findlark in folder $1 (its working folder) with environment settings $2...; FL_PID.
start() {
  local only=()
  wl && only=(-u DISPLAY -u QT_QPA_PLATFORM WAYLAND_DISPLAY="$SOCKET" XDG_SESSION_TYPE=wayland)
  bg env -C "$1" "${only[@]}" XDG_DATA_DIRS="$WORK/share" "${@:2}" "$FINDLARK" >>"$WORK/findlark.log" 2>&1
  FL_PID=${STARTED[-1]}
}
wl() { [ "$PLATFORM" = wayland ]; }
# Writes the settings file into folder $1: flag $2, search folder $3, as the program writes it.
settings() { mkdir -p "$1" && printf '%s|%s\r\n' "$2" "$3" >"$1/settings.ini"; }

# On X11: the ids of the managed top-level windows titled exactly $1.
titled() { wmctrl -l 2>/dev/null | awk -v want="$1" '{ t = $0; for (i = 1; i <= 3; i++) sub(/^[^ ]+ +/, "", t); if (t == want) print $1 }'; }
windows() { titled Findlark | grep -c .; }
viewable() { xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'; }
# Sets X Y W H to where the window is: on X11 its client area on the screen, on Wayland the
# window with the frame Qt draws on weston's screen (found by its light pixels on the dark
# background; opening the picture removes thin lines such as the pointer's outline).
place() {
  if wl; then
    shot && read -r W H X Y <<<"$(convert "$WORK/screen.png" -colorspace gray -threshold 80% -morphology Open Square:4 \
      -format '%@' info: | tr 'x+' '  ')"
  else
    WIN=$(titled Findlark)
    [ "$(grep -c . <<<"$WIN")" = 1 ] && read -r X Y W H < <(xwininfo -id "$WIN" 2>/dev/null |
      awk '/Absolute upper-left [XY]|^ *(Width|Height):/ { printf "%s ", $NF } END { print "" }')
  fi
}
# Waits for the program's one window and its place.
window() { wait_for shown || fail "no window came up (log: $(tail -3 "$WORK/findlark.log"))"; place; }
# Shown: on X11 the one main window is viewable; on Wayland a light area covers weston's screen.
shown() { if wl; then light '> 0.1'; else place && viewable "$WIN"; fi; }
gone() { if wl; then light '< 0.01'; else ! viewable "$WIN"; fi; }
light() { local l; shot && l=$(convert "$WORK/screen.png" -colorspace gray -threshold 80% -format '%[fx:mean]' info:) && is "$l" "$1"; }
# Minimises the window: on Wayland with the frame's minimise button, the third from the right,
# which weston's own window sometimes takes for itself, so the click is repeated until it lands.
minimise() {
  wl && for _ in 1 2 3 4; do place && click_at $((X + W - 63)) $((Y + 15)) && TIMEOUT=4 wait_for gone && return; done
  ! wl && xdotool windowminimize "$WIN" && wait_for gone || fail "minimising did not hide the window"
}

# Gives the X11 window the keyboard focus; a key sent before the window manager took the
# request would reach no window.
focus() { { xdotool windowactivate --sync "$WIN" || xdotool windowfocus --sync "$WIN"; } >/dev/null 2>&1; wait_for active || fail "window $WIN never became active"; }
active() { [ "$(xdotool getactivewindow 2>/dev/null)" = "$((WIN))" ]; }  # getactivewindow says it in decimal
key() { xdotool key --delay 50 "$@"; }
key_down() { xdotool keydown "$1"; }
key_up() { xdotool keyup "$1"; }
# Holds key $1 down until screen area $2 shows something dark, then lets it go; at most three
# times, as on a loaded machine the first press may come before the window has the keyboard.
press_until_dark() { for _ in 1 2 3; do key_down "$1" && TIMEOUT=10 wait_for dark "$2" && key_up "$1" && return; key_up "$1"; done; false; }
# Types a query into the search box and starts the search.
search_for() { { wl || { focus && key --clearmodifiers ctrl+a; }; } && xdotool type --delay 30 "$1" && key Return; }
# Clicks at x,y of weston's screen with button $3 (default the left), held for $4 seconds, then
# rests the pointer in weston's corner. Paced as a hand moves: the frame Qt draws ignores a
# press and release that come together; coming in from outside, the pointer enters weston.
# `click_inside` stays inside weston, so that a grab weston holds (a menu's) is never in doubt.
click_at() { xdotool mousemove 1000 700 sleep 0.2 && click_inside "$@"; }
# Presses button $3 at x,y of weston's screen, coming in from outside; `release` lets it go.
press_at() { xdotool mousemove 1000 700 sleep 0.2 mousemove --window "$WESTON" "$1" "$2" sleep 0.3 mousedown "$3"; }
click_inside() { xdotool mousemove --window "$WESTON" "$1" "$2" sleep 0.3 mousedown "${3:-1}" \
  sleep "${4:-0.2}" mouseup "${3:-1}" sleep 0.3 mousemove --window "$WESTON" 5 595; }
# Sets BOX_Y BOX_H to the rows of weston's screen area WxH+X+Y that hold colour: a selection,
# where everything else is black, white or grey. False when none.
coloured_rows() {
  local box y
  shot && IFS=x+ read -r _ _ _ y <<<"$1" && box=$(convert "$WORK/screen.png" -crop "$1" +repage -colorspace HSL \
    -channel G -separate -threshold 50% -format '%@' info: 2>/dev/null) || return 1
  [[ $box =~ ^[1-9][0-9]*x([1-9][0-9]*)\+[0-9]+\+([0-9]+)$ ]] && BOX_H=${BASH_REMATCH[1]} BOX_Y=$((y + BASH_REMATCH[2]))
}

# A picture of the screen (weston's, on Wayland) to file $1 (default $WORK/screen.png).
shot() { import -window "$WESTON" "${1:-$WORK/screen.png}" 2>/dev/null; }
# True when screen area WxH+X+Y shows something dark: text, not a blank area.
dark() { shot && is "$(convert "$WORK/screen.png" -crop "$1" -colorspace gray -format '%[fx:minima]' info:)" '< 0.3'; }

# Makes application $1 the default for the MIME types $2...; it writes each argument it is
# given, one a line, to $WORK/$1.
recorder() {
  local name=$1 field=%f list=$XDG_CONFIG_HOME/mimeapps.list
  [[ $2 == x-scheme-handler/* ]] && field=%u  # a link, not a file
  printf '#!/bin/sh\nprintf "%%s\\n" "$@" >>"%s"\n' "$WORK/$name" >"$WORK/$name.sh" && chmod +x "$WORK/$name.sh"
  printf '[Desktop Entry]\nType=Application\nName=%s\nExec=%s %s\nMimeType=%s\n' "$name" "$WORK/$name.sh" "$field" \
    "$(printf '%s;' "${@:2}")" >"$XDG_DATA_HOME/applications/$name.desktop"
  [ -f "$list" ] || echo "[Default Applications]" >"$list"
  printf "%s=$name.desktop\n" "${@:2}" >>"$list"
}
# Waits until recorder $1 has $2 lines and fails unless they are lines $3...
recorded() {
  wait_for has_lines "$WORK/$1" "$2" || fail "$1 was given nothing new"
  diff <(printf '%s\n' "${@:3}") "$WORK/$1" >&2 || fail "$1 was not given the expected lines"
}
has_lines() { [ "$(cat "$1" 2>/dev/null | wc -l)" -ge "$2" ]; }
unrecorded() { [ ! -s "$WORK/$1" ] || fail "$1 was given: $(cat "$WORK/$1")"; }

# On X11: the program's icons in trayer's panel; `tray_icon` waits for the one icon and sets
# TX TY to its centre.
# (xdotool's search fails when a window goes away under it, and xwininfo or import given no
# window wait for a click on one: never let them.)
panel() { xdotool search --name '^panel$' 2>/dev/null | head -n1; }
tray_icons() { local p; p=$(panel) && [ -n "$p" ] && xwininfo -id "$p" -tree 2>/dev/null | grep -c '^ *0x[0-9a-f]* "Findlark":'; }
tray_icon() {
  local p
  wait_for eval '[ "$(tray_icons)" = 1 ]' || fail "$(tray_icons) tray icons, not 1"
  p=$(panel) && [ -n "$p" ] && read -r TX TY < <(xwininfo -id "$p" -tree | awk '$2 == "\"Findlark\":" {
    split($NF, p, "+"); split($(NF - 1), s, /[x+]/); print p[2] + int(s[1] / 2), p[3] + int(s[2] / 2) }')
}
# On X11: presses button $1 on the icon (after `tray_icon`), to be let go with `release`.
tray_press() { xdotool mousemove "$TX" "$TY" mousedown "$1"; }
release() { xdotool mouseup "$1"; }
# True when the first popup menu shows something dark: text on its light background.
popup_drawn() {
  local w
  w=$(popups | head -n1) && [ -n "$w" ] && import -window "$w" "$WORK/menu.png" && is "$(convert "$WORK/menu.png" -colorspace gray -format '%[fx:minima]' info:)" '< 0.3'
}
# On a D-Bus tray host (`desktop ... sni`): `sni_icon` waits for the icon to register, `sni`
# calls its method $1 (Activate, ContextMenu), `sni_menu` fails unless its menu holds the labels
# $1 ("|" between, mnemonics left out), `sni_pick` clicks the menu item whose label starts $1.
sni_icon() { wait_for grep -q ' ' "$WORK/items" && ITEM=$(awk 'NF == 2 { print $1; exit }' "$WORK/items"); }
sni_call() { gdbus call --session --dest "$ITEM" --object-path "$2" --method "$1" "${@:3}"; }
sni() { sni_call "org.kde.StatusNotifierItem.$1" /StatusNotifierItem 700 500 >/dev/null; }
sni_menu() {
  MENU=$(sni_call org.freedesktop.DBus.Properties.Get /StatusNotifierItem org.kde.StatusNotifierItem Menu |
    sed -nE "s/^\(<objectpath '([^']+)'>,\)$/\1/p")
  ITEMS=$(sni_call com.canonical.dbusmenu.GetLayout "$MENU" -- 0 -1 '[]' | grep -oE "\(([0-9]+), \{[^}]*'label': <'[^']*'>" |
    sed -E "s/^\(([0-9]+),.*'label': <'([^']*)'>$/\1 \2/" | tr -d '_&')
  [ "$(cut -d' ' -f2- <<<"$ITEMS" | paste -sd'|')" = "$1" ] || fail "the icon's menu ($MENU) holds: $ITEMS"
}
sni_pick() { sni_call com.canonical.dbusmenu.Event "$MENU" "$(awk -v l="$1" '$2 == l { print $1 }' <<<"$ITEMS")" clicked '<int32 0>' 0 >/dev/null; }
# True when the screen differs from picture $1 in fewer than 200 pixels (a caret may blink).
unchanged() { shot && is "$(compare -metric AE -fuzz 10% "$1" "$WORK/screen.png" null: 2>&1)" '< 200'; }
rest() { sleep "$1"; }  # before looking for what must not appear
# On X11: the program's popup menus on screen (viewable override-redirect top-level windows).
popups() {
  for w in $(xwininfo -root -children | awk '$2 == "\"Findlark\":" { print $1 }'); do
    xwininfo -id "$w" | grep -q 'Override Redirect State: yes' && viewable "$w" && echo "$w"
  done 2>/dev/null
}
popup() { [ -n "$(popups)" ]; }

# On X11: selects the results tree's first row, then presses keys $@. A click on the status line
# comes first, so that two calls in a row never make a double click.
row() { place && xdotool mousemove $((X + 60)) $((Y + 34)) click 1 mousemove $((X + 60)) $((Y + 52)) click 1 && key "$@"; }
# The preview pane, the right two thirds below the status line, shows dark text.
previewing() { place && dark "$((W * 2 / 3 - 20))x$((H - 64))+$((X + W / 3 + 10))+$((Y + 54))"; }
# Selects the row $1 rows below the first and waits until the preview shows it; the search may
# not be over at the first try, nor the browser engine's first start.
preview_row() {
  local deadline=$((SECONDS + 2 * TIMEOUT))
  until row $(printf 'Down %.0s' $(seq "$1")) && wait_for previewing; do ((SECONDS < deadline)) || return 1; done
}

# Steps for case files: files, processes and the pointer.
not() { ! "$@"; }
var() { printf -v "$1" '%s' "$2"; }  # sets variable $1 to $2, for the steps after
# Writes printf format $2 to file $1, making its folder; `same` is true when file $1 holds it.
# shellcheck disable=SC2059
write() { mkdir -p "$(dirname "$1")" && printf -- "$2" >"$1"; }
folder() { mkdir -p "$1"; }
# shellcheck disable=SC2059
same() { cmp "$1" <(printf -- "$2") || fail "$1 holds: $(od -c "$1")"; }
holds() { grep -qF -- "$2" "$1"; }  # file $1 holds text $2
signal() { kill -"$1" "${2:-$FL_PID}"; }  # to the program, or to process $2
file_limit() { ulimit -Sn "$1"; }  # the soft limit on descriptors of what starts after
# The program's soft limit on descriptors is its hard one.
limit_lifted() { awk '/^Max open files/ { exit !($4 == $5) }' "/proc/$FL_PID/limits"; }
logged() { grep -q "$1" "$WORK/findlark.log"; }  # the program said $1
point() { xdotool mousemove "$1" "$2"; }  # the pointer to x,y of the screen
click() { xdotool click "${1:-1}"; }  # where the pointer is

# The program's windows on X11.
move_to() { xdotool windowmove --sync "$WIN" "$1" "$2" && place; }  # as the user would drag it
at() { place && [ "$X,$Y" = "$1" ] || fail "the window is at $X,$Y, not $1"; }
same_window() { [ "$WIN $X $Y" = "$1" ] || fail "the window $1 is now $WIN $X $Y"; }  # not remade, not moved
close_window() { wmctrl -i -c "$WIN"; }  # as the window manager's close button does
managed_windows_are() { [ "$(wmctrl -l | grep -c .)" = "$1" ] || fail "windows: $(wmctrl -l)"; }
windows_are() { [ "$(windows)" = "$1" ]; }
tray_icons_are() { [ "$(tray_icons)" = "$1" ]; }
listed_visible() { xdotool search --onlyvisible --name '^Findlark$' | grep -qx "$((WIN))"; }
# Waits for a window titled $1 (not the main window: a question) and gives it the keyboard.
question() { wait_for has_title "$1" && { xdotool windowactivate --sync "$(titled "$1" | head -n1)" 2>/dev/null; true; }; }
has_title() { [ -n "$(titled "$1")" ]; }
x11_window() { xwininfo -root -tree | grep -q '"Findlark": ("findlark"'; }  # a window of the program on X11
# Of programs $1 and $2 started at once, waits for one to end well; `first` is the other.
one_ends() {
  wait_for eval "ended $1 || ended $2" && if ended "$1"; then exits "$1" && var first "$2"; else exits "$2" && var first "$1"; fi
}
# True when a program's rendezvous socket is left in the runtime folder.
socket_left() { [ -n "$(find "$XDG_RUNTIME_DIR" -maxdepth 1 -type s -name 'findlark-*')" ]; }

# True when the program has mapped a library that matches $1: a sign of what it has started.
mapped() { grep -Eq "$1" "/proc/$FL_PID/maps"; }
# Starts a listener on a free port (PORT) of 127.0.0.1 that notes each connection in $WORK/heard.
listener() {
  bg python3 -c 'import socket, sys
s = socket.create_server(("127.0.0.1", 0))
print(s.getsockname()[1], flush=True)
while True: s.accept()[0].close(); open(sys.argv[1], "a").write("connection\n")' "$WORK/heard" >"$WORK/port"
  wait_for test -s "$WORK/port" && PORT=$(cat "$WORK/port")
}
# Writes the window tests' hostile page to file $1, aimed at the listener and at file $2.
hostile_page() {
  sed -e "s|@ORIGIN@|http://127.0.0.1:$PORT|g" -e "s|@WS_ORIGIN@|ws://127.0.0.1:$PORT|g" -e "s|@PORT@|$PORT|g" \
    -e "s|@SECRET@|file://$2|g" "$(dirname "${BASH_SOURCE[0]}")/../ui/data/hostile.htm" >"$1"
}

# Takes a picture of the window with its frame (L R T B wide) to file $1 (OUT), true once the
# picture shows the preview's text; `area` tests part WxH+X+Y of it, measure $2 against $3, in
# grey or, given "HSL" as $4, in saturation.
frame_shot() {
  OUT=$1 && place && read -r L R T B < <(xprop -id "$WIN" _NET_FRAME_EXTENTS | tr -dc '0-9 \n') &&
    import -window root -crop "$((W + L + R))x$((H + T + B))+$((X - L))+$((Y - T))" +repage "$OUT" &&
    area "$((W * 2 / 3 - 20))x$((H - 64))+$((L + W / 3 + 10))+$((T + 54))" minima '< 0.3'
}
area() { is "$(convert "$OUT" -crop "$1" -colorspace "${4:-gray}" ${4:+-channel G -separate} -format "%[fx:$2]" info:)" "$3"; }

# Makes FINDLARK a copy of the program whose qt.conf points at Qt's plugins less the Wayland ones.
without_wayland_plugin() {
  local nowl=$WORK/no-wayland p
  mkdir -p "$nowl/bin" "$nowl/plugins/platforms"
  for p in /usr/lib/*/qt6/plugins/* /usr/lib/*/qt6/plugins/platforms/*; do
    [[ $p == */platforms || $p == *wayland* ]] || ln -s "$p" "$nowl/plugins/${p#*/qt6/plugins/}"
  done
  cp "$FINDLARK" "$nowl/bin/findlark" && printf '[Paths]\nPlugins=%s\n' "$nowl/plugins" >"$nowl/bin/qt.conf" &&
    FINDLARK=$nowl/bin/findlark
}

# A folder that never answers, as a dead network mount does: `private_mounts` runs the test
# again in a private mount namespace (skipped without root, /dev/fuse, unshare and fusermount3);
# there `mount_dead` mounts $DEADFS at folder $1 with options $2..., and `unmount_dead` lazily
# unmounts them all and ends their servers, so that no held thread outlives the test.
private_mounts() {
  [ -n "${FINDLARK_IN_NAMESPACE:-}" ] && return
  [ "$(id -u)" = 0 ] && [ -c /dev/fuse ] && command -v unshare fusermount3 >/dev/null ||
    { echo "SKIP: needs root, /dev/fuse, unshare and fusermount3"; exit 77; }
  cleanup && trap - EXIT && FINDLARK_IN_NAMESPACE=1 exec unshare -m --propagation private bash "$0" "$FINDLARK" "$CASE"
}
MOUNTS=()
mount_dead() {
  trap 'unmount_dead; cleanup' EXIT
  mkdir -p "$1" && bg "$DEADFS" -f "${@:2}" "$1" 2>>"$WORK/deadfs.log" && MOUNTS+=("$1|${STARTED[-1]}")
  wait_for mounted "$1" || fail "the dead file system did not mount: $(cat "$WORK/deadfs.log")"
}
unmount_dead() { for m in "${MOUNTS[@]}"; do fusermount3 -uz "${m%|*}"; kill -9 "${m#*|}"; done 2>/dev/null; MOUNTS=(); }
# Read from mountinfo, which never calls into the file system: a mount at $1 of type $2 (fuse).
mounted() { grep -q " $1 .* ${2:-fuse}" /proc/self/mountinfo; }
mount_tmpfs() { mkdir -p "$1" && mount -t tmpfs tmpfs "$1"; }
unmount() { umount "$1"; }
# Runs $CLI (findlark-cli) with arguments $2... and fails unless it ends with status $1; its
# output goes to $WORK/out, sorted (the walk's order is not fixed), its messages to $WORK/err.
# Files, not pipes: a process held by a dead mount would keep a pipe open.
cli() { bg "$CLI" "${@:2}" >"$WORK/out" 2>"$WORK/err" && exits "${STARTED[-1]}" "$1" && LC_ALL=C sort -o "$WORK/out" "$WORK/out"; }
# Starts $CLI with arguments $2... as a terminal's foreground job (SIGINT not ignored), waits
# until it says which folder holds it and sends it signal $1; CLI_PID is its pid.
cli_held() {
  rm -f "$WORK/out" "$WORK/err"  # the wait below must see this run's words
  bg python3 -c 'import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); os.execv(sys.argv[1], sys.argv[1:])' \
    "$CLI" "${@:2}" >"$WORK/out" 2>"$WORK/err"
  CLI_PID=${STARTED[-1]}
  wait_for grep -qs 'which does not answer' "$WORK/err" || fail "nothing said which folder holds the search: $(cat "$WORK/err")"
  kill -"$1" "$CLI_PID"
}

# Other programs: the window tests, and checkers beside this script.
# Runs cases $@ of a window tests' program, given in findlark's place; none may fail or be skipped.
qt_cases() {
  "$FINDLARK" "$@" >"$WORK/cases.log" 2>&1 && ! grep -q '^SKIP' "$WORK/cases.log" || { grep -v QWARN "$WORK/cases.log" >&2; return 1; }
  grep -E '^Totals' "$WORK/cases.log"
}
# Runs checker $1, a script beside this one, with Debian's python3 (it has pyatspi).
check() { /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/$1" "${@:2}"; }

# Run directly: the steps of case file $2, one harness function and its words a line, expanded
# and quoted as the shell does ($WORK, $FL_PID, $((X + 60)) ...); a `note` line is shown as it
# is, and blank lines and # comments are skipped. A step that fails ends the test, naming its line.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  CASE=$(realpath -e "${2:?usage: $0 path/to/findlark case-file}") || exit 1
  n=0
  while IFS= read -r step <&9; do
    ((++n)) && [[ $step =~ ^[[:space:]]*(#|$) ]] && continue
    STEP="${CASE##*/}:$n: $step"
    [[ $step == note\ * ]] && note "${step#note }" && continue  # free text, not shell words
    echo "   $n: $step"  # where a test that stops here stopped
    eval "set -- $step" && declare -F "$1" >/dev/null || fail "no such step"
    "$@" || fail "the step failed"
  done 9<"$CASE"
  echo PASS
fi
