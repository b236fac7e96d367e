#!/usr/bin/env bash
# The tray natively on Wayland, with a stand-in for a desktop's D-Bus tray host. The icon
# hands its menu to the host, which draws it; minimising hides the window to the tray, from
# where the icon and "Open Findlark" bring it back; "Exit" ends the program.
. "$(dirname "$0")/desktop_env.sh"
. "$(dirname "$0")/wayland_env.sh"

command -v dbus-daemon >/dev/null && command -v gdbus >/dev/null && /usr/bin/python3 -c 'import gi' ||
  fail "the D-Bus tools are not installed; scripts/install-deps.sh installs everything these tests need"
dbus-daemon --session --nofork --nopidfile --address="unix:path=$WORK/bus" >"$WORK/dbus.log" 2>&1 &
STARTED+=("$!")
export DBUS_SESSION_BUS_ADDRESS=unix:path=$WORK/bus
wait_until test -S "$WORK/bus" || fail "dbus-daemon did not start: $(cat "$WORK/dbus.log")"
: >"$WORK/items"
/usr/bin/python3 "$(dirname "$0")/tray_watcher.py" >"$WORK/items" 2>"$WORK/watcher.log" &
STARTED+=("$!")
wait_until grep -qx ready "$WORK/items" || fail "the tray host did not start: $(cat "$WORK/watcher.log")"

mkdir -p "$WORK/start"
write_settings "$WORK/start" 0 "$WORK"
start_wayland_findlark "$WORK/start"
wait_until window_shown || fail "no window on weston's screen (log: $(tail -3 "$WORK/findlark.log"))"
window_place || fail "the window could not be found on the screen"
wait_until eval '[ "$(grep -vcx ready "$WORK/items")" -ge 1 ]' || fail "no tray icon registered"
ITEM=$(grep -vx ready "$WORK/items" | head -n1 | cut -d' ' -f1)

# Calls method $1 of the icon's object $2 with arguments $3...
call() {
  local method=$1 object=$2
  shift 2
  gdbus call --session --dest "$ITEM" --object-path "$object" --method "$method" "$@"
}
item_property() {
  call org.freedesktop.DBus.Properties.Get /StatusNotifierItem org.kde.StatusNotifierItem "$1"
}

note "the icon hands the host its menu: Open Findlark, then Exit"
MENU=$(item_property Menu | sed -nE "s/^\(<objectpath '([^']+)'>,\)$/\1/p")
[ -n "$MENU" ] && [ "$MENU" != /NO_DBUSMENU ] || fail "the icon has no menu for the host: $(item_property Menu)"
layout=$(call com.canonical.dbusmenu.GetLayout "$MENU" -- 0 -1 '[]') || fail "the menu cannot be read"
# The items' ids and labels, in order; mnemonics as the host reads them.
items=$(grep -oE "\(([0-9]+), \{[^}]*'label': <'[^']*'>" <<<"$layout" |
  sed -E "s/^\(([0-9]+),.*'label': <'([^']*)'>$/\1 \2/")
labels=$(cut -d' ' -f2- <<<"$items" | tr -d '_&' | paste -sd'|')
[ "$labels" = "Open Findlark|Exit" ] || fail "the menu holds \"$labels\""
id_of() { awk -v want="$1" '{ l = $0; sub(/^[0-9]+ /, "", l); gsub(/[_&]/, "", l); if (l == want) print $1 }' <<<"$items"; }
click_item() {
  call com.canonical.dbusmenu.Event "$MENU" "$(id_of "$1")" clicked '<int32 0>' 0 >/dev/null
}
# A host that asks for the menu all the same gets none drawn by the program: nothing on the
# screen changes but the search box's blinking caret.
shoot && cp "$WORK/screen.png" "$WORK/before.png"
call org.kde.StatusNotifierItem.ContextMenu /StatusNotifierItem 700 500 >/dev/null
sleep 1  # a menu of the program's own would have shown by now
shoot
changed=$(compare -metric AE -fuzz 10% "$WORK/before.png" "$WORK/screen.png" null: 2>&1)
[ "${changed%%.*}" -lt 200 ] 2>/dev/null || fail "the program showed a menu of its own as well ($changed pixels changed)"

# Minimises with the button of the frame Qt draws, the third from the right; weston's own
# window sometimes takes the click for itself, so it is repeated until it lands.
minimise() {
  local _
  window_place || fail "the window could not be found on the screen"
  for _ in 1 2 3 4; do
    click_at $((WX + WW - 63)) $((WY + 15))
    TIMEOUT=4 wait_until window_gone && return 0
  done
  fail "the minimise button did not minimise the window"
}

note "minimised to the tray, the icon brings the window back"
minimise
call org.kde.StatusNotifierItem.Activate /StatusNotifierItem 700 500 >/dev/null
wait_until window_shown || fail "the icon did not bring the window back"

note "minimised to the tray, \"Open Findlark\" brings the window back"
minimise
click_item "Open Findlark"
wait_until window_shown || fail "\"Open Findlark\" did not bring the window back"

note "\"Exit\" ends the program"
click_item Exit
wait_exit "$FL_PID"
[ "$STATUS" -eq 0 ] || fail "the program ended with status $STATUS"

echo "PASS"
