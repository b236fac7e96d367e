#!/usr/bin/env bash
# The result menu natively on Wayland, where the compositor refuses a popup that is not tied to
# an input event still in progress: from the right button, the Menu key and Shift+F10 it opens
# on a hit, stays open once the button or key is up, and its items reach the hit.
. "$(dirname "$0")/harness.sh"
desktop wayland
recorder text text/plain
recorder folder inode/directory
data="$WORK/my files"
mkdir -p "$data"
echo "some notes" >"$data/item notes.txt"
settings "$WORK/start" 0 "$data"
start "$WORK/start"
window
click_at $((X + W / 2)) $((Y + 15))  # the title bar: the window takes the keyboard
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
echo PASS
