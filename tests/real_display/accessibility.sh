#!/usr/bin/env bash
# A screen reader's view of the window (AT-SPI): the controls' names, category labels, hit names
# and descriptions, the results as a table, expand and collapse as actions, the
# selection moving with the keys, and the previewed text.
. "$(dirname "$0")/desktop_env.sh"

for tool in dbus-launch /usr/libexec/at-spi-bus-launcher; do
  command -v "$tool" >/dev/null || fail "'$tool' is not installed (scripts/install-deps.sh)"
done
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null || fail "python3-pyatspi is not installed"

start_desktop
files=$WORK/files
mkdir -p "$files" "$WORK/start"
mkdir -p "$files/sub"
touch "$files/budget plan.txt" "$files/plan.mp3" "$files/other.txt"
echo "Larks sing over the harbour." >"$files/plan.txt"
echo "Another plan." >"$files/sub/plan.txt"  # the same name in another folder
echo "<p>A planned page.</p>" >"$files/plan.htm"
export QTWEBENGINE_DISABLE_SANDBOX=1 QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu
printf '0|%s\r\n' "$files" >"$WORK/start/settings.ini"

# A private session bus and accessibility bus, as a desktop session has.
eval "$(dbus-launch --sh-syntax)"
STARTED+=("$DBUS_SESSION_BUS_PID")
export DBUS_SESSION_BUS_ADDRESS
/usr/libexec/at-spi-bus-launcher --launch-immediately >"$WORK/atspi.log" 2>&1 &
STARTED+=("$!")
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1

start_findlark "$WORK/start"
wait_main_window
focus_main_window
xdotool type --delay 20 plan
xdotool key Return
/usr/bin/python3 "$(dirname "$0")/accessibility_check.py" "$TIMEOUT" || fail "see above"
echo "PASS"
