#!/usr/bin/env bash
# Peak memory of the preview: the window previews one big file (a 200 MB .html page, a 15 MB
# one, a 200 MB .txt file, a 20000 x 20000 PNG) on a private Xvfb, and the resident memory of the program and
# every process it started is summed every 0.2 s for 30 s after the hit is selected.
#   [SHOTS=folder] [KINDS="html page txt png"] bench/preview_memory.sh build/release/src/app/findlark
. "$(dirname "$0")/../tests/real_display/harness.sh"

files=/tmp/findlark-preview-memory
mkdir -p "$files"
[ -s "$files/page/big.html" ] || {
  mkdir -p "$files/html" "$files/page" "$files/txt" "$files/png"
  python3 - "$files" <<'PY'
import struct, sys, zlib
root = sys.argv[1]
line = b"<p>Larks sing over the harbour, and the tide comes in over the flats.</p>\n"
with open(root + "/html/big.html", "wb") as f:
    f.write(b"<html><body>\n")
    for _ in range(200 * 1024 * 1024 // len(line)):
        f.write(line)
with open(root + "/page/big.html", "wb") as f:
    f.write(b"<html><body>\n")
    for _ in range(15 * 1024 * 1024 // len(line)):
        f.write(line)
with open(root + "/txt/big.txt", "wb") as f:
    for _ in range(200 * 1024 * 1024 // len(line)):
        f.write(line)
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
w = h = 20000
row = b"\0" + b"\xff" * ((w + 7) // 8)
with open(root + "/png/big.png", "wb") as f:
    f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 1, 0, 0, 0, 0)))
    f.write(chunk(b"IDAT", zlib.compress(row * h, 9)) + chunk(b"IEND", b""))
PY
}

tree_rss_kb() {  # the program and all its descendants
  local pids=("$FL_PID") i=0 kb=0 p
  while ((i < ${#pids[@]})); do
    for p in $(cat /proc/"${pids[i]}"/task/*/children 2>/dev/null); do pids+=("$p"); done
    ((i++))
  done
  for p in "${pids[@]}"; do
    kb=$((kb + $(awk '/^VmRSS/ { print $2 }' /proc/"$p"/status 2>/dev/null || echo 0)))
  done
  echo "$kb"
}

desktop x11
for kind in ${KINDS:-html page txt png}; do
  mkdir -p "$WORK/$kind"
  settings "$WORK/$kind" 0 "$files/$kind"
  start "$WORK/$kind"
  window
  search_for big
  sleep 2
  place
  before=$(tree_rss_kb)
  xdotool mousemove $((X + 60)) $((Y + H - 20)) click 1 sleep 0.3 type big
  peak=0
  for ((t = 0; t < 150; t++)); do
    now=$(tree_rss_kb)
    ((now > peak)) && peak=$now
    sleep 0.2
  done
  printf '%-5s before %6d MB  peak %6d MB  after 30 s %6d MB\n' "$kind" $((before / 1024)) \
    $((peak / 1024)) $((now / 1024))
  [ -n "${SHOTS:-}" ] && import -window root "$SHOTS/$kind.png"  # to see what was shown
  end_pid "$FL_PID"
done
