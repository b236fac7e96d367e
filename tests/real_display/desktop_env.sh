# Shared by the real-display tests: a private X server with a window manager (and a tray host
# when asked), private home and XDG folders, and helpers to drive the window. Source it.
#
# Every process started here is recorded and ended by its own pid when the test exits.

set -u

FINDLARK=$(realpath -e "${1:?usage: $0 path/to/findlark}") || exit 1
TIMEOUT=${FINDLARK_TEST_TIMEOUT:-20}  # seconds any one wait may take

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
note() { echo "-- $*"; }

for tool in Xvfb openbox trayer xdotool wmctrl xwininfo import convert cmp od; do
  command -v "$tool" >/dev/null ||
    fail "'$tool' is not installed; scripts/install-deps.sh installs everything these tests need"
done
[ -x "$FINDLARK" ] || fail "not an executable: $FINDLARK"

STARTED=()  # pids to end, in the order they were started
WORK=$(mktemp -d /tmp/findlark-desktop.XXXXXX)

end_pid() {
  local pid=$1 i
  kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null
  for ((i = 0; i < 50; i++)); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
}

cleanup() {
  local i
  for ((i = ${#STARTED[@]} - 1; i >= 0; i--)); do end_pid "${STARTED[i]}"; done
  wait 2>/dev/null
  if [ -n "${FINDLARK_TEST_KEEP:-}" ]; then echo "kept $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Polls a command until it succeeds; false after $TIMEOUT seconds.
wait_until() {
  local deadline=$((SECONDS + TIMEOUT))
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# Private folders, so nothing of the machine's own desktop is read or changed.
export HOME=$WORK/home XDG_CONFIG_HOME=$WORK/config XDG_DATA_HOME=$WORK/data
export XDG_RUNTIME_DIR=$WORK/runtime XDG_CACHE_HOME=$WORK/cache
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME/applications" "$XDG_CACHE_HOME"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
# For the program: the system's MIME database, but none of its applications, so only the
# test's own are known. (openbox needs the system's folders for its theme.)
mkdir -p "$WORK/share"
ln -s /usr/share/mime "$WORK/share/mime"
unset WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER
export QT_QPA_PLATFORM=xcb
# The browser engine will not run as root with its sandbox, and Xvfb has no GL.
export QTWEBENGINE_DISABLE_SANDBOX=1 QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu

# Starts Xvfb on a free display, openbox, and trayer when the first argument is "tray"; with
# "bare", the X server alone (for a nested compositor, which a window manager would move about).
# Displays are picked at random above 100, away from the low numbers other tools take first.
start_desktop() {
  local n xvfb _
  for _ in 1 2 3 4 5; do
    n=$((100 + RANDOM % 800))
    [ -e "/tmp/.X$n-lock" ] && continue
    # -noreset: no restart (and refused connections) each time the last client leaves.
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -noreset >"$WORK/xvfb.log" 2>&1 &
    xvfb=$!
    STARTED+=("$xvfb")
    export DISPLAY=":$n"
    if wait_until eval 'has_ended $xvfb || xwininfo -root >/dev/null 2>&1' && ! has_ended "$xvfb"; then
      break
    fi
    end_pid "$xvfb"
    unset DISPLAY
  done
  [ -n "${DISPLAY:-}" ] || fail "Xvfb did not start: $(cat "$WORK/xvfb.log")"

  if [ "${1:-}" = bare ]; then
    note "display $DISPLAY"
    return
  fi
  openbox >"$WORK/openbox.log" 2>&1 &
  STARTED+=("$!")
  wait_until wmctrl -m >/dev/null 2>&1 ||
    fail "openbox did not start: $(cat "$WORK/openbox.log"); Xvfb $(has_ended "$xvfb" && echo ended || echo running)"

  if [ "${1:-}" = tray ]; then
    # On a loaded machine trayer sometimes gives up before the window manager settles: retry.
    local tray ok=false
    for _ in 1 2 3; do
      trayer --edge bottom --align right --widthtype pixel --width 100 --height 24 \
        >>"$WORK/trayer.log" 2>&1 &
      tray=$!
      STARTED+=("$tray")
      if wait_until eval 'has_ended $tray || has_tray_host' && ! has_ended "$tray"; then
        ok=true
        break
      fi
      end_pid "$tray"
    done
    $ok || fail "trayer did not take the tray selection: $(tail -3 "$WORK/trayer.log")"
  fi
  note "display $DISPLAY"
}

# trayer's panel window; it takes the tray selection as it maps.
has_tray_host() { xdotool search --onlyvisible --name '^panel$' >/dev/null 2>&1; }

# Starts findlark in folder $1 (its working folder); sets FL_PID. Output goes to $WORK.
start_findlark() {
  local dir=$1
  (cd "$dir" && XDG_DATA_DIRS=$WORK/share exec "$FINDLARK") >>"$WORK/findlark.log" 2>&1 &
  FL_PID=$!
  STARTED+=("$FL_PID")
}

# Ids of the managed top-level windows titled exactly $1 (case counts).
windows_titled() {
  wmctrl -l 2>/dev/null | awk -v want="$1" '{ t = $0; for (i = 1; i <= 3; i++) sub(/^[^ ]+ +/, "", t);
                                              if (t == want) print $1 }'
}
main_windows() { windows_titled Findlark; }
count_main_windows() { main_windows | grep -c . ; }
one_main_window() { [ "$(count_main_windows)" -eq 1 ]; }

# Waits for the one main window; sets WIN to its id.
wait_main_window() {
  wait_until one_main_window || fail "no window titled Findlark appeared (log: $(tail -5 "$WORK/findlark.log"))"
  WIN=$(main_windows)
}

is_viewable() { xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'; }
is_hidden() { ! is_viewable "$1"; }

# The main window's client area on screen: sets CX CY (origin) and CW CH (size).
client_geometry() {
  local info
  info=$(xwininfo -id "$WIN") || fail "window $WIN is gone"
  CX=$(awk '/Absolute upper-left X/ { print $NF }' <<<"$info")
  CY=$(awk '/Absolute upper-left Y/ { print $NF }' <<<"$info")
  CW=$(awk '/^ *Width:/ { print $NF }' <<<"$info")
  CH=$(awk '/^ *Height:/ { print $NF }' <<<"$info")
}

# Fails unless the one main window is still window $1 with its client area at $2,$3. The
# browser engine's first start must neither remake the window nor let it be placed anew.
expect_same_window() {
  local now
  now=$(main_windows)
  [ "$now" = "$1" ] || fail "the main window was remade at the first preview: $1 is now ${now:-gone}"
  client_geometry
  [ "$CX,$CY" = "$2,$3" ] || fail "the main window moved at the first preview: $2,$3 to $CX,$CY"
}

# Gives the main window the keyboard focus.
focus_main_window() {
  xdotool windowactivate --sync "$WIN" >/dev/null 2>&1 || xdotool windowfocus --sync "$WIN"
  # On a loaded machine the window manager may not have taken the request yet, and a key sent
  # now would reach no window.
  wait_until is_active_window || fail "window $WIN never became active"
}

is_active_window() {
  # xdotool prints the active window in decimal; $WIN is hexadecimal.
  [ "$(xdotool getactivewindow 2>/dev/null)" = "$((WIN))" ]
}

# True when process $1 has ended (a child that ended stays a zombie until it is waited for).
has_ended() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) || return 0
  [[ $state == Z* ]]
}

# Waits for child process $1 to end; sets STATUS to its exit status.
wait_exit() {
  wait_until has_ended "$1" || fail "process $1 did not end"
  wait "$1" 2>/dev/null
  STATUS=$?
}

# Makes a .desktop application named $1 that appends each argument, one a line, to file $2,
# and makes it the default for the MIME types $3...
make_recorder_app() {
  local name=$1 out=$2 script
  shift 2
  script=$WORK/$name.sh
  printf '#!/bin/sh\nfor a in "$@"; do printf "%%s\\n" "$a"; done >>"%s"\n' "$out" >"$script"
  chmod +x "$script"
  {
    echo "[Desktop Entry]"
    echo "Type=Application"
    echo "Name=$name"
    echo "Exec=$script %f"
    echo "MimeType=$(printf '%s;' "$@")"
  } >"$XDG_DATA_HOME/applications/$name.desktop"
  local list=$XDG_CONFIG_HOME/mimeapps.list
  [ -f "$list" ] || echo "[Default Applications]" >"$list"
  local type
  for type in "$@"; do echo "$type=$name.desktop" >>"$list"; done
}

# Writes settings.ini into folder $1: flag $2, search folder $3, as the program writes it.
write_settings() { printf '%s|%s\r\n' "$2" "$3" >"$1/settings.ini"; }

# Types a query into the search box and starts the search.
search_for() {
  focus_main_window
  xdotool key --clearmodifiers ctrl+a
  xdotool type --delay 20 "$1"
  xdotool key Return
}

# Ids of the program's icons in trayer's panel.
tray_icons() {
  local panel
  panel=$(xdotool search --name '^panel$' 2>/dev/null | head -n1)
  [ -n "$panel" ] || return 0
  xwininfo -id "$panel" -tree 2>/dev/null | awk '$2 == "\"Findlark\":" { print $1 }'
}
count_tray_icons() { tray_icons | grep -c . ; }

# Waits for the program's one tray icon; sets TX TY to its centre on screen.
wait_tray_icon() {
  wait_until eval '[ "$(count_tray_icons)" -eq 1 ]' || fail "no tray icon appeared"
  local info
  info=$(xwininfo -id "$(tray_icons)")
  TX=$(($(awk '/Absolute upper-left X/ { print $NF }' <<<"$info") + $(awk '/^ *Width:/ { print $NF }' <<<"$info") / 2))
  TY=$(($(awk '/Absolute upper-left Y/ { print $NF }' <<<"$info") + $(awk '/^ *Height:/ { print $NF }' <<<"$info") / 2))
}

# Ids of the program's popup menus on screen (override-redirect top-level windows).
popups() {
  local w
  for w in $(xwininfo -root -children 2>/dev/null | awk '$2 == "\"Findlark\":" { print $1 }'); do
    xwininfo -id "$w" 2>/dev/null | grep -q 'Override Redirect State: yes' && is_viewable "$w" &&
      echo "$w"
  done
}
has_popup() { [ -n "$(popups)" ]; }

# True when the darkest pixel of the screen area WxH+X+Y is dark (text, not a blank page).
area_has_dark_pixels() {
  local darkest
  import -window root -crop "$1" +repage "$WORK/area.png" 2>/dev/null || return 1
  darkest=$(convert "$WORK/area.png" -colorspace gray -format '%[fx:minima]' info:) || return 1
  awk -v d="$darkest" 'BEGIN { exit !(d < 0.3) }'
}

# True when the preview pane, the right two thirds below the status line, shows dark text.
preview_shows_text() {
  WIN=$(main_windows)
  [ -n "$WIN" ] || return 1
  client_geometry
  area_has_dark_pixels "$((CW * 2 / 3 - 20))x$((CH - 44 - 20))+$((CX + CW / 3 + 10))+$((CY + 44 + 10))"
}
