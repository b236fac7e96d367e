#!/usr/bin/env bash
# A search on a real display, with a text hit in the preview: the window shows the hit's
# text, the category icons and the labels, and starting the preview kept the same window
# in the same place. The picture of the window is saved to $2.
. "$(dirname "$0")/harness.sh"
out=${2:-$WORK/window.png}
desktop x11 tray
data=$WORK/Documents
mkdir -p "$data/larkspur"
printf 'Larks sing over the harbour at dawn.\nBring the field notes and the camera.\n' >"$data/harbour notes.txt"
printf 'Skylark, woodlark, shore lark.\n' >"$data/birds.md"
printf 'int lark = 1;\n' >"$data/count.c"
for f in "lark song.mp3" "lark report.doc" "lark trip.zip"; do printf x >"$data/$f"; done
settings "$WORK/start" 1 "$data"
start "$WORK/start"
window
first="$WIN $X $Y"
search_for lark
preview_row 1 || { shot "$out"; fail "the text hit did not show in the preview"; }
[ "$WIN $X $Y" = "$first" ] || fail "the first preview remade or moved the window: $first is now $WIN $X $Y"

# The window with its frame, taken again until the picture itself shows the preview's text.
frame() {
  place && read -r l r t b < <(xprop -id "$WIN" _NET_FRAME_EXTENTS | tr -dc '0-9 ')
  import -window root -crop "$((W + l + r))x$((H + t + b))+$((X - l))+$((Y - t))" +repage "$out" && area "$((W * 2 / 3 - 20))x$((H - 64))+$((l + W / 3 + 10))+$((t + 54))" minima '< 0.3'
}
area() { is "$(convert "$out" -crop "$1" -colorspace "${4:-gray}" ${4:+-channel G -separate} -format "%[fx:$2]" info:)" "$3"; }
wait_for frame || fail "no picture of the window with the preview's text"
# In that picture: the category icons are in colour (some pixels of the icon column below the
# selection are), and the labels beside them are drawn.
area "20x162+$((l + 20))+$((t + 98))" maxima '> 0.4' HSL || fail "the category icons have no colour"
area "120x162+$((l + 45))+$((t + 98))" minima '< 0.3' || fail "the category labels are not drawn"
note "window picture: $out"
echo PASS
