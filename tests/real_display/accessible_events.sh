#!/usr/bin/env bash
# The results view's accessibility events (selection, expand, collapse), from the window tests,
# on a real X server where the accessibility bridge is on.
. "$(dirname "$0")/desktop_env.sh"

start_desktop
eval "$(dbus-launch --sh-syntax)"
STARTED+=("$DBUS_SESSION_BUS_PID")
export DBUS_SESSION_BUS_ADDRESS
/usr/libexec/at-spi-bus-launcher --launch-immediately >"$WORK/atspi.log" 2>&1 &
STARTED+=("$!")
QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$FINDLARK" accessibleEvents >"$WORK/events.log" 2>&1 || {
  grep -v QWARN "$WORK/events.log" >&2
  fail "the accessibility events case failed on X11"
}
grep -q '^SKIP' "$WORK/events.log" && { cat "$WORK/events.log" >&2; fail "no accessibility bridge"; }
grep -E '^Totals' "$WORK/events.log"
echo "PASS"
