#!/usr/bin/env bash
# The tray icon, on X11 (trayer, XEmbed) or Wayland (a D-Bus tray host) as $2 says: minimising
# hides the window, the icon brings it back where it was, the icon's menu offers "Open
# Findlark" and "Exit", and Exit ends the program after writing the settings.
. "$(dirname "$0")/harness.sh"
# Two lines: the exit rewrites the file as exactly one.
settings "$WORK/start" 1 "$WORK" && printf 'stale second line\r\n' >>"$WORK/start/settings.ini"

if [ "$2" = x11 ]; then
  desktop x11 tray
  icon() { tray_icon; }
  activate() { xdotool mousemove "$TX" "$TY" mousedown 1 && wait_for shown; local ok=$?; xdotool mouseup 1; return $ok; }
  # A right press: the program's own menu, two items, whose text makes dark pixels on its light
  # background. It stays open when the button comes up; x is its Exit.
  menu_exit() {
    popup && fail "a popup is shown before the right press"
    xdotool mousemove "$TX" "$TY" mousedown 3 && wait_for popup || fail "no menu appeared on the right press"
    local menu
    menu=$(popups | head -n1) && import -window "$menu" "$WORK/menu.png"
    is "$(convert "$WORK/menu.png" -colorspace gray -format '%[fx:minima]' info:)" '< 0.3' || fail "the tray menu looks empty"
    xdotool mouseup 3 && viewable "$menu" || fail "the menu closed when the right button was released"
    key x
  }
else
  desktop wayland bus sni
  icon() { wait_for grep -q ' ' "$WORK/items" || fail "no tray icon registered"; ITEM=$(awk 'NF == 2 { print $1; exit }' "$WORK/items"); }
  call() { gdbus call --session --dest "$ITEM" --object-path "$2" --method "$1" "${@:3}"; }
  activate() { call org.kde.StatusNotifierItem.Activate /StatusNotifierItem 700 500 >/dev/null && wait_for shown; }
  # The icon's menu goes to the host, which draws it: its items' ids and labels, mnemonics left out.
  pick() { call com.canonical.dbusmenu.Event "$MENU" "$(awk -v l="$1" '$2 == l { print $1 }' <<<"$ITEMS")" clicked '<int32 0>' 0; }
  menu_exit() {
    MENU=$(call org.freedesktop.DBus.Properties.Get /StatusNotifierItem org.kde.StatusNotifierItem Menu |
      sed -nE "s/^\(<objectpath '([^']+)'>,\)$/\1/p")
    ITEMS=$(call com.canonical.dbusmenu.GetLayout "$MENU" -- 0 -1 '[]' | grep -oE "\(([0-9]+), \{[^}]*'label': <'[^']*'>" |
      sed -E "s/^\(([0-9]+),.*'label': <'([^']*)'>$/\1 \2/" | tr -d '_&')
    [ "$(cut -d' ' -f2- <<<"$ITEMS" | paste -sd'|')" = "Open Findlark|Exit" ] || fail "the icon's menu ($MENU) holds: $ITEMS"
    # A host that asks for the menu all the same gets none drawn by the program: nothing on
    # the screen changes but the search box's blinking caret.
    shot "$WORK/before.png" && call org.kde.StatusNotifierItem.ContextMenu /StatusNotifierItem 700 500 >/dev/null
    sleep 1  # a menu of the program's own would have shown by now
    shot && is "$(compare -metric AE -fuzz 10% "$WORK/before.png" "$WORK/screen.png" null: 2>&1)" '< 200' ||
      fail "the program drew a menu of its own"
    note "minimised, \"Open Findlark\" brings the window back"
    minimise && pick Open >/dev/null && wait_for shown || fail "\"Open Findlark\" did not bring the window back"
    pick Exit >/dev/null
  }
fi

start "$WORK/start"
window
icon
note "minimised, the icon brings the window back (where it was, on X11)"
[ "$2" = x11 ] && xdotool windowmove --sync "$WIN" 40 60 && place  # as the user would drag it
was="$X,$Y"
minimise
activate || fail "the icon did not bring the window back"
# (On Wayland the compositor places the window.)
place && [ "$2" = wayland ] || [ "$X,$Y" = "$was" ] || fail "back from the tray the window moved from $was to $X,$Y"
note "the icon's menu, and Exit from it"
menu_exit
exits "$FL_PID"
printf '1|%s\r\n' "$WORK" | cmp "$WORK/start/settings.ini" - || fail "settings.ini is not the one expected line"
[ "$2" = wayland ] || [ "$(tray_icons)" = 0 ] || fail "the tray icon stayed after exit"
echo PASS
