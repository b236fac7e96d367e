#!/usr/bin/env bash
# Cases of the window tests run again on a real X server with a window manager, where focus and
# keys go through the platform (and, given "x11,bus,atspi", the accessibility bridge is on).
# Arguments: the test program, the desktop's parts (comma-separated), the cases.
. "$(dirname "$0")/harness.sh"
desktop ${2//,/ }
"$FINDLARK" "${@:3}" >"$WORK/cases.log" 2>&1 || { grep -v QWARN "$WORK/cases.log" >&2; fail "the cases failed here"; }
! grep '^SKIP' "$WORK/cases.log" >&2 || fail "a case was skipped here"
grep -E '^Totals' "$WORK/cases.log"
echo PASS
