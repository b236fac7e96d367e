#!/usr/bin/env bash
# Opening hits from the window hands their exact paths to the associated applications:
# Enter in the tree, the result menu's Open with Notepad and Open Folder, and the Notepad
# question for a file type nothing is associated with.
. "$(dirname "$0")/desktop_env.sh"

start_desktop
make_recorder_app texteditor "$WORK/text-opened" text/plain
make_recorder_app mdviewer "$WORK/md-opened" text/markdown
make_recorder_app filemanager "$WORK/folder-opened" inode/directory

data="$WORK/my files"
mkdir -p "$data" "$WORK/start"
echo "some notes" >"$data/item notes.txt"                 # Documents: row 1
printf '\001\002\003\000\377' >"$data/item data.qqq"       # Other, binary: no association
echo "# draft" >"$data/item draft.md"                      # Other, last row
write_settings "$WORK/start" 0 "$data"

start_findlark "$WORK/start"
wait_main_window
search_for item

# Clicks the tree's first row, the Documents node, and presses keys from there.
from_first_row() {
  WIN=$(main_windows)
  [ -n "$WIN" ] || return 1
  client_geometry
  # A click on the status line first, so two calls in a row never make a double click.
  xdotool mousemove $((CX + 60)) $((CY + 34)) click 1 mousemove $((CX + 60)) $((CY + 44 + 8)) click 1
  xdotool key --delay 50 "$@"
}
# Opens the result menu on the row reached by keys $1 and picks its item with keys $2.
menu_pick() {
  from_first_row $1 Menu || return 1
  wait_until has_popup || return 1
  xdotool key --delay 50 $2
}
lines() { if [ -f "$1" ]; then wc -l <"$1"; else echo 0; fi; }
has_lines() { [ "$(lines "$1")" -ge "$2" ]; }
expect_lines() {
  local file=$1
  shift
  if [ $# -eq 0 ]; then
    [ "$(lines "$file")" -eq 0 ] || fail "$file should be empty: $(cat "$file")"
  else
    diff <(printf '%s\n' "$@") "$file" >&2 || fail "$file does not hold the expected paths"
  fi
}

note "Enter on a hit opens it with its application"
# Once the hit shows in the preview, the search is done and the selection is on it.
deadline=$((SECONDS + TIMEOUT))
until from_first_row Down && wait_until preview_shows_text; do
  ((SECONDS < deadline)) || fail "the hit did not come up in the preview"
done
xdotool key Return
wait_until has_lines "$WORK/text-opened" 1 || fail "Enter on the hit launched nothing"
expect_lines "$WORK/text-opened" "$data/item notes.txt"

note "Open with Notepad from the result menu"
menu_pick End "Down Down Return" || fail "no result menu on the last hit"
wait_until has_lines "$WORK/text-opened" 2 || fail "Open with Notepad launched nothing"
expect_lines "$WORK/text-opened" "$data/item notes.txt" "$data/item draft.md"
expect_lines "$WORK/md-opened"

note "Open Folder from the result menu"
menu_pick Down f || fail "no result menu on the first hit"
wait_until has_lines "$WORK/folder-opened" 1 || fail "Open Folder launched nothing"
expect_lines "$WORK/folder-opened" "$data"

note "no application for the type: the question, and Yes opens it as text"
# The question's caption is the program's file name.
question() { windows_titled "$(basename "$FINDLARK")" | head -n1; }
from_first_row End Up Return
wait_until eval '[ -n "$(question)" ]' || fail "the Notepad question did not appear"
import -window root "$WORK/question.png"
xdotool windowactivate --sync "$(question)" 2>/dev/null
xdotool key y
wait_until has_lines "$WORK/text-opened" 3 || fail "Yes did not open the file as text"
expect_lines "$WORK/text-opened" "$data/item notes.txt" "$data/item draft.md" "$data/item data.qqq"
expect_lines "$WORK/md-opened"

note "a double click on a node opens nothing, even after the keys moved to a hit"
from_first_row Down
xdotool click 1
menu_pick End "Down Down Return" || fail "no result menu on the last hit"
wait_until has_lines "$WORK/text-opened" 4 || fail "Open with Notepad launched nothing"
expect_lines "$WORK/text-opened" "$data/item notes.txt" "$data/item draft.md" "$data/item data.qqq" \
  "$data/item draft.md"

echo "PASS"
