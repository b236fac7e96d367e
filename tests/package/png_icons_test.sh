#!/usr/bin/env bash
# Each rendered icon is a PNG of its nominal size.
# Arguments: the folder holding NxN/findlark.png, then the sizes.
set -u
dir=$1
shift
failed=0
for size in "$@"; do
  png=$dir/${size}x${size}/findlark.png
  # The signature, then IHDR: width and height as 32-bit big-endian numbers at offset 16.
  read -r sig < <(od -An -tx1 -N8 "$png" | tr -d ' ')
  read -r w h < <(od -An -tu1 -j16 -N8 "$png" |
    awk '{ print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }')
  if [[ $sig != 89504e470d0a1a0a || $w != "$size" || $h != "$size" ]]; then
    echo "FAIL: $png is not a ${size}x${size} PNG (${w:-?}x${h:-?})"
    failed=1
  fi
done
exit $failed
