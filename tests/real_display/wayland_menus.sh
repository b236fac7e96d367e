#!/usr/bin/env bash
# The result menu natively on Wayland, where the compositor refuses a popup that is not tied to
# an input event still in progress: from the right button, the Menu key and Shift+F10 it opens
# on a hit, stays open once the button or key is up, and its items reach the hit.
. "$(dirname "$0")/desktop_env.sh"
. "$(dirname "$0")/wayland_env.sh"

make_recorder_app texteditor "$WORK/text-opened" text/plain
make_recorder_app filemanager "$WORK/folder-opened" inode/directory
data="$WORK/my files"
mkdir -p "$data" "$WORK/start"
echo "some notes" >"$data/item notes.txt"
write_settings "$WORK/start" 0 "$data"

start_wayland_findlark "$WORK/start"
wait_until window_shown || fail "no window on weston's screen (log: $(tail -3 "$WORK/findlark.log"))"
window_place || fail "the window could not be found on the screen"
click_at $((WX + WW / 2)) $((WY + 15))  # the title bar: the window takes the keyboard
xdotool type --delay 30 item
xdotool key Return

# Sets BOX_Y BOX_H to the rows of weston's screen area WxH+X+Y that hold colour: a selection,
# where everything else is black, white or grey. False when none.
coloured_rows() {
  shoot || return 1
  local box x y
  IFS=x+ read -r _ _ x y <<<"$1"
  box=$(convert "$WORK/screen.png" -crop "$1" +repage -colorspace HSL -channel G -separate \
    -threshold 50% -format '%@' info: 2>/dev/null) || return 1
  [[ $box =~ ^[1-9][0-9]*x([1-9][0-9]*)\+[0-9]+\+([0-9]+)$ ]] || return 1
  BOX_H=${BASH_REMATCH[1]} BOX_Y=$((y + BASH_REMATCH[2]))
}
# At the end of the search the keyboard is back in the search box, its text selected.
wait_until coloured_rows "20x10+$((WX + 90))+$((WY + 36))" ||
  fail "the search did not end (log: $(tail -3 "$WORK/findlark.log"))"
# The keyboard selects the hit: Tab to Search and on to the tree, whose first row is the
# Documents node and second the hit. Once the preview shows the file's text, the selection,
# the only colour in the middle of the names, is on the hit.
xdotool key --delay 50 Tab Tab Home Down
wait_until weston_area_dark "100x30+$((WX + WW / 3 + 10))+$((WY + 80))" ||
  fail "the search found no hit to preview"
coloured_rows "50x$((WH - 80))+$((WX + 80))+$((WY + 60))" || fail "no selection in the tree"
HIT_Y=$((BOX_Y + BOX_H / 2))
# The menu's second line, "Open with Notepad", where the preview pane starts: blank there but
# for the menu, whether it opens at the pointer or at the hit's middle.
menu_open() { weston_area_dark "30x16+$((WX + WW / 3 + 10))+$((HIT_Y + 24))"; }
lines() { if [ -f "$1" ]; then wc -l <"$1"; else echo 0; fi; }
has_lines() { [ "$(lines "$1")" -ge "$2" ]; }
expect_opened() {
  wait_until has_lines "$1" "$2" || fail "$3 launched nothing"
  [ "$(tail -n1 "$1")" = "$data/item notes.txt" ] && [ "$(lines "$1")" -eq "$2" ] ||
    fail "$3 launched $(cat "$1")"
}
menu_open && fail "a menu shows before any key"

# Taps key $1, held as briefly as a hand holds it: the menu opens on its press, and must still
# be open once it is up.
open_with_key() {
  xdotool keydown "$1" sleep 0.05 keyup "$1"
  wait_until menu_open || fail "$1 opened no menu"
}

note "the Menu key: the menu stays open and its items work"
open_with_key Menu
xdotool key --delay 50 Down Return  # "Open with Notepad": only if the menu really stayed open
expect_opened "$WORK/text-opened" 1 "Open with Notepad from the Menu key"
wait_until eval '! menu_open' || fail "the menu stayed open after a choice"

note "Shift+F10: the same menu"
open_with_key shift+F10
xdotool key f  # "Open Folder"
wait_until has_lines "$WORK/folder-opened" 1 || fail "Open Folder from Shift+F10 launched nothing"
[ "$(cat "$WORK/folder-opened")" = "$data" ] || fail "Open Folder launched $(cat "$WORK/folder-opened")"
wait_until eval '! menu_open' || fail "the menu stayed open after a choice"

note "the right button on the hit: the menu opens at the pointer and its items take a click"
x=$((WX + 100))  # on the hit's name, so the menu reaches over the preview
# A quick click: the release follows the press as soon as a hand's does.
xdotool mousemove 1000 700 sleep 0.2 mousemove --window "$WESTON" "$x" "$HIT_Y" sleep 0.3 \
  mousedown 3 sleep 0.05 mouseup 3 sleep 0.3 mousemove --window "$WESTON" 5 595
wait_until menu_open || fail "a right click on the hit opened no menu"
# The pointer stays inside weston from here, so its grab of the menu is never in doubt.
xdotool mousemove --window "$WESTON" $((x + 40)) $((HIT_Y + 10)) sleep 0.3 mousedown 1 sleep 0.2 \
  mouseup 1 sleep 0.3 mousemove --window "$WESTON" 5 595  # "Open", the first item
expect_opened "$WORK/text-opened" 2 "Open from the right button's menu"
wait_until eval '! menu_open' || fail "the menu stayed open after a choice"

echo "PASS"
