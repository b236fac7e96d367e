#!/usr/bin/env bash
# Opening hits from the window hands their exact paths to the associated applications:
# Enter in the tree, the result menu's Open with Notepad and Open Folder, and the Notepad
# question for a file type nothing is associated with.
. "$(dirname "$0")/harness.sh"
desktop x11
recorder text text/plain
recorder md text/markdown
recorder folder inode/directory
data="$WORK/my files"
mkdir -p "$data"
echo "some notes" >"$data/item notes.txt"            # Documents: row 1
printf '\001\002\003\000\377' >"$data/item data.qqq"  # Other, binary: no association
echo "# draft" >"$data/item draft.md"                 # Other, last row
settings "$WORK/start" 0 "$data"
start "$WORK/start"
window
search_for item
# Opens the result menu on the row reached by keys $1 and picks its item with keys $2.
menu_pick() { row $1 Menu && wait_for popup && key $2 || fail "no result menu"; }

note "Enter on a hit opens it with its application"
preview_row 1 || fail "the hit did not come up in the preview"  # the search is over
key Return
recorded text 1 "$data/item notes.txt"
note "Open with Notepad from the result menu"
menu_pick End "Down Down Return"
recorded text 2 "$data/item notes.txt" "$data/item draft.md"
unrecorded md
note "Open Folder from the result menu"
menu_pick Down f
recorded folder 1 "$data"

note "no application for the type: the question, and Yes opens it as text"
row End Up Return
# The question's caption is the program's file name.
wait_for eval '[ -n "$(titled findlark)" ]' || fail "the Notepad question did not appear"
xdotool windowactivate --sync "$(titled findlark | head -n1)" 2>/dev/null
key y
recorded text 3 "$data/item notes.txt" "$data/item draft.md" "$data/item data.qqq"
unrecorded md

note "a double click on a node opens nothing, even after the keys moved to a hit"
row Down
xdotool click 1
menu_pick End "Down Down Return"
recorded text 4 "$data/item notes.txt" "$data/item draft.md" "$data/item data.qqq" "$data/item draft.md"
echo PASS
