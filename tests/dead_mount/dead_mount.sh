#!/usr/bin/env bash
# Beside a folder that never answers (a dead network mount, stood in for by a FUSE file system
# mounted in a private mount namespace): findlark-cli gives the shell back on a stop signal
# with the hits found so far and names the folder; a whole-machine search leaves a dead sshfs
# mount alone; the window comes up with its saved folder there, and Stop, a new search and
# closing the window all work while a walk is held. And -x keeps out of a tmpfs below FOLDER.
set -u
if [ -z "${FINDLARK_IN_NAMESPACE:-}" ]; then
  if [ "$(id -u)" -ne 0 ] || [ ! -c /dev/fuse ] || ! command -v unshare fusermount3 >/dev/null; then
    echo "SKIP: needs root, /dev/fuse, unshare and fusermount3"
    exit 77
  fi
  FINDLARK_IN_NAMESPACE=1 exec unshare -m --propagation private bash "$0" "$@"
fi
. "$(dirname "$0")/../real_display/desktop_env.sh"
DEADFS=$2 CLI=$3

DEAD_MOUNTS=()
# Unmounted lazily and their servers ended, so that no held thread outlives the test.
end_dead_mounts() {
  local m
  for m in "${DEAD_MOUNTS[@]}"; do
    fusermount3 -uz "${m%|*}" 2>/dev/null
    kill -9 "${m#*|}" 2>/dev/null
  done
  DEAD_MOUNTS=()
}
trap 'end_dead_mounts; cleanup' EXIT
is_mounted() { grep -q " $1 " /proc/self/mountinfo; }
# Mounts the dead file system at folder $1, with options $2...
mount_dead() {
  local at=$1
  shift
  mkdir -p "$at"
  "$DEADFS" -f "$@" "$at" 2>>"$WORK/deadfs.log" &
  DEAD_MOUNTS+=("$at|$!")
  wait_until is_mounted "$at" || fail "the dead file system did not mount: $(cat "$WORK/deadfs.log")"
}
# A non-interactive shell starts background jobs with SIGINT ignored: undo that, as a terminal's
# foreground job has it.
run_cli() {
  # The last run's files go first: the next wait must see this run's words, not those.
  rm -f "$WORK/out" "$WORK/err"
  python3 -c 'import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); os.execv(sys.argv[1], sys.argv[1:])' \
    "$CLI" "$@" >"$WORK/out" 2>"$WORK/err" &
  CLI_PID=$!
  STARTED+=("$CLI_PID")
}

note "findlark-cli -x: a file system mounted below the folder is not entered"
fs=$WORK/fs
mkdir -p "$fs/mnt"
: >"$fs/report here.txt"
mount -t tmpfs tmpfs "$fs/mnt" || fail "cannot mount a tmpfs"
: >"$fs/mnt/report there.txt"
[ "$("$CLI" report "$fs" | sort)" = "$(printf '%s\n' "$fs/mnt/report there.txt" "$fs/report here.txt")" ] ||
  fail "without -x: $("$CLI" report "$fs")"
[ "$("$CLI" -x report "$fs")" = "$fs/report here.txt" ] || fail "with -x: $("$CLI" -x report "$fs")"
umount "$fs/mnt"

tree=$WORK/tree
mount_dead "$tree/share"
# signal | arguments | exit status | stdout | what stderr names as waiting | last line
cases=(
  "INT|report $tree|130|$tree/share/notes report.txt|$tree/share/photos|Search cancelled. 1 found."
  "TERM|-c zqxw --html $WORK/page.html $tree|143||$tree/share/notes report.txt|Search cancelled. 0 found."
)
for case in "${cases[@]}"; do
  IFS='|' read -r sig args want_status want_out want_waiting want_last <<<"$case"
  note "findlark-cli, $sig, with $args"
  read -ra argv <<<"$args"
  run_cli "${argv[@]}"
  wait_until grep -qs 'which does not answer' "$WORK/err" ||
    fail "nothing said which folder holds the search: $(cat "$WORK/err")"
  kill -"$sig" "$CLI_PID"
  wait_exit "$CLI_PID"
  [ "$STATUS" = "$want_status" ] || fail "exit status $STATUS, not $want_status"
  [ "$(cat "$WORK/out")" = "$want_out" ] || fail "printed: $(cat "$WORK/out")"
  expected_err=$(printf "findlark-cli: waiting for '%s', which does not answer\n%s" \
    "$want_waiting" "$want_last")
  [ "$(cat "$WORK/err")" = "$expected_err" ] || fail "stderr: $(cat -A "$WORK/err")"
done
grep -q 'Findlark Search Results' "$WORK/page.html" || fail "the results page was not written"

note "the window, its saved folder on the dead mount"
start_desktop
dir=$WORK/start
mkdir -p "$dir"
write_settings "$dir" 0 "$tree/share/photos"
start_findlark "$dir"
wait_main_window
search_for report
sleep 2
focus_main_window
xdotool key Return  # Stop, on the Search button that the search box handed its focus to
sleep 2
search_for plan  # held too: two walks held at once
sleep 1
wmctrl -i -c "$WIN"
wait_until eval '[ "$(count_main_windows)" -eq 0 ]' || fail "the window stayed on screen"
printf '0|%s\r\n' "$tree/share/photos" >"$WORK/expected"
cmp "$dir/settings.ini" "$WORK/expected" || fail "settings.ini was not written: $(od -c "$dir/settings.ini")"
end_dead_mounts  # the kernel lets go of the held walks: the program ends
wait_exit "$FL_PID"
[ "$STATUS" -eq 0 ] || fail "the program ended with status $STATUS"

note "findlark-cli, the whole machine, with a dead sshfs mount"
mount_dead "$WORK/nas" -o subtype=sshfs
grep -q " $WORK/nas .* fuse.sshfs " /proc/self/mountinfo || fail "the sshfs stand-in is not mounted"
"$CLI" -a zqxjkvwq >"$WORK/out" 2>"$WORK/err" &
CLI_PID=$!
STARTED+=("$CLI_PID")
wait_exit "$CLI_PID"
[ "$STATUS" = 1 ] || fail "exit status $STATUS: $(cat "$WORK/err")"
[ "$(cat "$WORK/err")" = "Search complete. 0 found." ] || fail "stderr: $(cat "$WORK/err")"
echo "PASS"
