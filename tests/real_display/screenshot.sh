#!/usr/bin/env bash
# A search on a real display, with a text hit in the preview: the window shows the hit's
# text, the category icons and the labels, and starting the preview kept the same window
# in the same place.
# The picture of the window is saved to $2 (default: the temporary folder).
. "$(dirname "$0")/desktop_env.sh"
out=${2:-$WORK/window.png}

start_desktop tray
data=$WORK/Documents
mkdir -p "$data/larkspur" "$WORK/start"
printf 'Larks sing over the harbour at dawn.\nBring the field notes and the camera.\n' \
  >"$data/harbour notes.txt"
printf 'Skylark, woodlark, shore lark.\n' >"$data/birds.md"
printf 'x' >"$data/lark song.mp3"
printf 'x' >"$data/lark report.doc"
printf 'x' >"$data/lark trip.zip"
printf 'int lark = 1;\n' >"$data/count.c"
write_settings "$WORK/start" 1 "$data"

start_findlark "$WORK/start"
wait_main_window
wait_until is_viewable "$WIN" || fail "the main window was not shown"
client_geometry
first_win=$WIN first_x=$CX first_y=$CY
search_for lark

# The first row is the Documents node; its first hit, "harbour notes", sorts before the rest.
deadline=$((SECONDS + 2 * TIMEOUT))  # the browser engine's first start is slow
until {
  WIN=$(main_windows) && client_geometry &&
    xdotool mousemove $((CX + 60)) $((CY + 34)) click 1 mousemove $((CX + 60)) $((CY + 52)) click 1 &&
    xdotool key Down && wait_until preview_shows_text
}; do
  ((SECONDS < deadline)) || { import -window root "$out"; fail "the text hit did not show in the preview"; }
done
expect_same_window "$first_win" "$first_x" "$first_y"

# The window with its frame, taken again until the picture itself shows the preview's text.
shoot() {
  WIN=$(main_windows) && client_geometry || return 1
  read -r left right top bottom < <(xprop -id "$WIN" _NET_FRAME_EXTENTS | tr -dc '0-9 ' | tr -s ' ')
  import -window root -crop "$((CW + left + right))x$((CH + top + bottom))+$((CX - left))+$((CY - top))" \
    +repage "$out" || return 1
  local darkest
  darkest=$(convert "$out" -crop "$((CW * 2 / 3 - 20))x$((CH - 64))+$((left + CW / 3 + 10))+$((top + 54))" \
    -colorspace gray -format '%[fx:minima]' info:)
  awk -v d="$darkest" 'BEGIN { exit !(d < 0.3) }'
}
wait_until shoot || fail "no picture of the window with the preview's text"

# In that picture: the category icons are in colour (some pixels of the icon column below
# the selection are), and the labels beside them are drawn.
colour=$(convert "$out" -crop "20x$((18 * 9))+$((left + 20))+$((top + 44 + 18 * 3))" -colorspace HSL -channel G -separate -format '%[fx:maxima]' info:)
awk -v s="$colour" 'BEGIN { exit !(s > 0.4) }' || fail "the category icons have no colour ($colour)"
darkest=$(convert "$out" -crop "120x$((18 * 9))+$((left + 45))+$((top + 44 + 18 * 3))" -colorspace gray \
  -format '%[fx:minima]' info:)
awk -v d="$darkest" 'BEGIN { exit !(d < 0.3) }' || fail "the category labels are not drawn"
note "window picture: $out"

echo "PASS"
