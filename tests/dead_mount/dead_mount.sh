#!/usr/bin/env bash
# Beside a folder that never answers (a dead network mount, stood in for by a FUSE file system
# mounted in a private mount namespace): findlark-cli gives the shell back on a stop signal
# with the hits found so far and names the folder; a whole-machine search leaves a dead sshfs
# mount alone; the window comes up with its saved folder there, and Stop, a new search and
# closing the window all work while a walk is held. And -x keeps out of a tmpfs below FOLDER.
# Arguments: findlark, deadfs, findlark-cli.
if [ -z "${FINDLARK_IN_NAMESPACE:-}" ]; then
  [ "$(id -u)" = 0 ] && [ -c /dev/fuse ] && command -v unshare fusermount3 >/dev/null ||
    { echo "SKIP: needs root, /dev/fuse, unshare and fusermount3"; exit 77; }
  FINDLARK_IN_NAMESPACE=1 exec unshare -m --propagation private bash "$0" "$@"
fi
. "$(dirname "$0")/../real_display/harness.sh"
DEADFS=$2 CLI=$3 MOUNTS=()
# Unmounted lazily and their servers ended, so that no held thread outlives the test.
unmount_dead() { for m in "${MOUNTS[@]}"; do fusermount3 -uz "${m%|*}"; kill -9 "${m#*|}"; done 2>/dev/null; MOUNTS=(); }
trap 'unmount_dead; cleanup' EXIT
mounted() { grep -q " $1 .* ${2:-fuse}" /proc/self/mountinfo; }
# Mounts the dead file system at folder $1, with options $2...
mount_dead() {
  mkdir -p "$1" && bg "$DEADFS" -f "${@:2}" "$1" 2>>"$WORK/deadfs.log" && MOUNTS+=("$1|${STARTED[-1]}")
  wait_for mounted "$1" || fail "the dead file system did not mount: $(cat "$WORK/deadfs.log")"
}

note "findlark-cli -x: a file system mounted below the folder is not entered"
fs=$WORK/fs
mkdir -p "$fs/mnt" && : >"$fs/report here.txt"
mount -t tmpfs tmpfs "$fs/mnt" && : >"$fs/mnt/report there.txt" || fail "cannot mount a tmpfs"
[ "$("$CLI" report "$fs" | sort)" = "$fs/mnt/report there.txt"$'\n'"$fs/report here.txt" ] || fail "without -x: $("$CLI" report "$fs")"
[ "$("$CLI" -x report "$fs")" = "$fs/report here.txt" ] || fail "with -x: $("$CLI" -x report "$fs")"
umount "$fs/mnt"

tree=$WORK/tree
mount_dead "$tree/share"
# signal | arguments | exit status | stdout | what stderr names as waiting | last line
while IFS='|' read -r sig args status out waiting last; do
  note "findlark-cli, $sig, with $args"
  rm -f "$WORK/out" "$WORK/err"  # the wait below must see this run's words
  # A non-interactive shell starts background jobs with SIGINT ignored: undo that, as a
  # terminal's foreground job has it.
  bg python3 -c 'import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); os.execv(sys.argv[1], sys.argv[1:])' \
    "$CLI" $args >"$WORK/out" 2>"$WORK/err"
  wait_for grep -qs 'which does not answer' "$WORK/err" || fail "nothing said which folder holds the search: $(cat "$WORK/err")"
  kill -"$sig" "${STARTED[-1]}"
  exits "${STARTED[-1]}" "$status"
  [ "$(cat "$WORK/out")" = "$out" ] || fail "printed: $(cat "$WORK/out")"
  [ "$(cat "$WORK/err")" = "$(printf "findlark-cli: waiting for '%s', which does not answer\n%s" "$waiting" "$last")" ] ||
    fail "stderr: $(cat -A "$WORK/err")"
done <<TABLE
INT|report $tree|130|$tree/share/notes report.txt|$tree/share/photos|Search cancelled. 1 found.
TERM|-c zqxw --html $WORK/page.html $tree|143||$tree/share/notes report.txt|Search cancelled. 0 found.
TABLE
grep -q 'Findlark Search Results' "$WORK/page.html" || fail "the results page was not written"

note "the window, its saved folder on the dead mount"
desktop x11
settings "$WORK/start" 0 "$tree/share/photos"
start "$WORK/start"
window
search_for report
sleep 2
focus && key Return  # Stop, on the Search button that the search box handed its focus to
sleep 2
search_for plan  # held too: two walks held at once
sleep 1
wmctrl -i -c "$WIN"
wait_for eval '[ "$(windows)" = 0 ]' || fail "the window stayed on screen"
printf '0|%s\r\n' "$tree/share/photos" | cmp - "$WORK/start/settings.ini" || fail "settings.ini was not written"
unmount_dead  # the kernel lets go of the held walks: the program ends
exits "$FL_PID"

note "findlark-cli, the whole machine, with a dead sshfs mount"
mount_dead "$WORK/nas" -o subtype=sshfs
mounted "$WORK/nas" fuse.sshfs || fail "the sshfs stand-in is not mounted as fuse.sshfs"
# Output goes to files: a stuck process would hold its pipes.
bg "$CLI" -a zqxjkvwq >"$WORK/out" 2>"$WORK/err"
exits "${STARTED[-1]}" 1
[ "$(cat "$WORK/err")" = "Search complete. 0 found." ] || fail "stderr: $(cat "$WORK/err")"
echo PASS
