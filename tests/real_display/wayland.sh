#!/usr/bin/env bash
# The window natively on Wayland (a weston nested in the test's X server): it starts, a second
# start brings it back from minimised, and the Options menu opens from the keyboard (Alt+O,
# Space) and stays open. The result menu, which the compositor refuses unless it is tied to an
# input event still in progress, opens on a hit from the right button, the Menu key and
# Shift+F10, stays open once the button or key is up, and its items reach the hit. Without
# Qt's Wayland plugin, a session that asks for Wayland still gets the window on X11.
. "$(dirname "$0")/harness.sh"
desktop wayland
recorder text text/plain
recorder folder inode/directory
data="$WORK/my files"
mkdir -p "$data" && echo "some notes" >"$data/item notes.txt"
settings "$WORK/start" 0 "$data"
start "$WORK/start"
first=$FL_PID
window
grep 'platform plugin' "$WORK/findlark.log" && fail "Qt's Wayland plugin did not load"

note "a second start brings the window back from minimised"
minimise
start "$WORK" XDG_ACTIVATION_TOKEN=findlark-test-token
exits "$FL_PID"
ended "$first" && fail "the first instance ended"
wait_for shown || fail "the second start did not bring the window back"

note "Options from the keyboard: Alt+O, tapped"
# True while the Options menu shows: text where the empty results tree is.
menu_open() { dark "150x120+$((X + 10))+$((Y + 110))"; }
place && click_at $((X + W / 2)) $((Y + 15))  # the title bar: the window takes the keyboard
menu_open && fail "a menu shows before any key"
# On a loaded machine the click may not yet have given the window the keyboard, and the first tap
# goes nowhere; tap again then. A menu that closes as the key comes up fails every tap.
for try in 1 2 3; do
  xdotool keydown alt+o sleep 0.05 keyup alt+o
  TIMEOUT=5 wait_for menu_open && break
  [ "$try" -lt 3 ] || fail "Alt+O opened no menu"
done
key Down Return  # "Search within files": only if the menu really stayed open
wait_for eval '! menu_open' || fail "the menu stayed open after a choice"
note "Options from the keyboard: Space on the focused button"
# The search box has the focus again; the Options button is three Tabs on.
key Tab Tab Tab
xdotool keydown space
wait_for menu_open || { xdotool keyup space; fail "Space on Options opened no menu"; }
xdotool keyup space
menu_open || fail "the menu closed when Space was released"
key Escape
wait_for eval '! menu_open' || fail "Escape did not close the menu"

note "the result menu"
click_at $((X + 120)) $((Y + 41))  # in the search box
search_for item
# Sets BOX_Y BOX_H to the rows of weston's screen area WxH+X+Y that hold colour: a selection,
# where everything else is black, white or grey. False when none.
coloured_rows() {
  local box y
  shot && IFS=x+ read -r _ _ _ y <<<"$1" && box=$(convert "$WORK/screen.png" -crop "$1" +repage -colorspace HSL \
    -channel G -separate -threshold 50% -format '%@' info: 2>/dev/null) || return 1
  [[ $box =~ ^[1-9][0-9]*x([1-9][0-9]*)\+[0-9]+\+([0-9]+)$ ]] && BOX_H=${BASH_REMATCH[1]} BOX_Y=$((y + BASH_REMATCH[2]))
}
# At the end of the search the keyboard is back in the search box, its text selected.
wait_for coloured_rows "20x10+$((X + 90))+$((Y + 36))" || fail "the search did not end"
# The keyboard selects the hit: Tab to Search and on to the tree, whose first row is the
# Documents node and second the hit. Once the preview shows the file's text, the selection,
# the only colour in the middle of the names, is on the hit.
key Tab Tab Home Down
wait_for dark "100x30+$((X + W / 3 + 10))+$((Y + 80))" || fail "the search found no hit to preview"
coloured_rows "50x$((H - 80))+$((X + 80))+$((Y + 60))" || fail "no selection in the tree"
HIT_Y=$((BOX_Y + BOX_H / 2))
# The menu's second line, "Open with Notepad", where the preview pane starts: blank there but
# for the menu, whether it opens at the pointer or at the hit's middle.
menu_open() { dark "30x16+$((X + W / 3 + 10))+$((HIT_Y + 24))"; }
menu_open && fail "a menu shows before any key"

# key or button to open the menu | what picks an item | the recorder | what it must hold.
# Keys are tapped and the button clicked as briefly as a hand does: the menu opens on the press
# and must still be open once it is up. The right button's menu opens at the pointer, on the
# hit's name, and takes a click on its first item, "Open"; the pointer stays inside weston from
# there, so weston's grab of the menu is never in doubt.
while IFS='|' read -r open pick name lines; do
  note "$open, then $pick"
  case $open in
    button) click_at $((X + 100)) "$HIT_Y" 3 0.05 ;;
    *) xdotool keydown "$open" sleep 0.05 keyup "$open" ;;
  esac
  wait_for menu_open || fail "$open opened no menu"
  case $pick in
    click) xdotool mousemove --window "$WESTON" $((X + 140)) $((HIT_Y + 10)) sleep 0.3 mousedown 1 sleep 0.2 \
      mouseup 1 sleep 0.3 mousemove --window "$WESTON" 5 595 ;;
    *) key $pick ;;
  esac
  IFS=, read -ra want <<<"$lines"
  recorded "$name" "${#want[@]}" "${want[@]}"
  wait_for eval '! menu_open' || fail "the menu stayed open after a choice"
done <<TABLE
Menu|Down Return|text|$data/item notes.txt
shift+F10|f|folder|$data
button|click|text|$data/item notes.txt,$data/item notes.txt
TABLE

note "the session ends: the choice made from the Options menu is saved"
kill -TERM "$first"
exits "$first"
[ "$(head -c1 "$WORK/start/settings.ini")" = 1 ] || fail "\"Search within files\" was not chosen from the keyboard"

note "asked for Wayland without Qt's Wayland plugin: X11"
# A copy of the program whose qt.conf points at Qt's plugins less the Wayland ones.
nowl=$WORK/no-wayland
mkdir -p "$nowl/bin" "$nowl/plugins/platforms" "$nowl/start"
for p in /usr/lib/*/qt6/plugins/* /usr/lib/*/qt6/plugins/platforms/*; do
  [[ $p == */platforms || $p == *wayland* ]] || ln -s "$p" "$nowl/plugins/${p#*/qt6/plugins/}"
done
cp "$FINDLARK" "$nowl/bin/findlark"
printf '[Paths]\nPlugins=%s\n' "$nowl/plugins" >"$nowl/bin/qt.conf"
FINDLARK=$nowl/bin/findlark
start "$nowl/start" QT_QPA_PLATFORM=wayland DISPLAY="$DISPLAY"
x11_window() { xwininfo -root -tree | grep -q '"Findlark": ("findlark"'; }
wait_for eval 'x11_window || ended $FL_PID' && x11_window || fail "no window on X11 without the Wayland plugin"
kill -TERM "$FL_PID"
exits "$FL_PID"
echo PASS
