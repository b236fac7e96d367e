#!/usr/bin/env bash
# Each rendered icon is a PNG of its nominal size.
# Arguments: the folder holding NxN/findlark.png, then the sizes.
dir=$1 failed=0
for size in "${@:2}"; do
  png=$dir/${size}x${size}/findlark.png
  # The signature, then IHDR: width and height as 32-bit big-endian numbers at offset 16.
  got=$(od -An -tx1 -N24 "$png" | tr -d ' \n')
  want=$(printf '89504e470d0a1a0a0000000d49484452%08x%08x' "$size" "$size")
  [ "$got" = "$want" ] || { echo "FAIL: $png is not a ${size}x${size} PNG ($got)"; failed=1; }
done
exit $failed
