#!/usr/bin/env bash
# End to end on an X11 panel: Xvfb with trayer as the tray host, quillo with planted trashes on
# two volumes. Opens the tray menu with a click, chooses "Empty All Trashes", confirms with the
# keyboard, and finds every trash empty and the log written. Then a second `quillo --empty-all`,
# the tray host restarting (the icon comes back) and, when built with hot keys,
# Ctrl+Super+Backspace each bring up the confirmation.
# usage: xembed-e2e.sh QUILLO QUILLO_CLI [--hotkeys]
set -u
quillo=$1 cli=$2 hotkeys=${3:-}
source "$(dirname "$0")/gui-session.sh"
need_tools Xvfb trayer xdotool dbus-daemon unshare
isolate "$@"
make_home
"$cli" prefs is_first_run false >/dev/null
"$cli" prefs show_install_helper_tool true >/dev/null
plant_trash "$XDG_DATA_HOME/Trash" 3
mount_volume
plant_trash "$vol/.Trash-0" 2

start_x
start_bus
start_trayer() {
  trayer --edge "${1:-bottom}" --align left --widthtype pixel --width 120 --height 28 --SetDockType true \
    >"$work/trayer.log" 2>&1 &
  trayer_pid=$!
  pids+=($trayer_pid)
  wait_for 10 xdotool search --class trayer || fail "trayer did not start"
}
start_trayer

QT_QPA_PLATFORM=xcb "$quillo" >"$work/quillo.log" 2>&1 &
qpid=$!
pids+=($qpid)
# The information window of a later start shows when the start-up is through; close it.
wait_for 20 windows_at_least 1 || fail "quillo did not start"
sleep 0.5
xdotool key Escape
wait_for 5 no_windows || fail "the information window did not close"

# The icon is the first (only) one in the tray at the bottom left.
xdotool mousemove 14 754 click 1
sleep 0.7
xdotool key Down Return
wait_for 10 windows_at_least 1 || fail "no confirmation after choosing Empty All Trashes"
sleep 0.5
xdotool key Return
wait_for 20 bash -c "[[ -z \$(ls -A '$XDG_DATA_HOME/Trash/files') && -z \$(ls -A '$vol/.Trash-0/files') ]]" \
  || fail "the trashes were not emptied: $(ls -A "$XDG_DATA_HOME/Trash/files" "$vol/.Trash-0/files")"
logdir="$XDG_STATE_HOME/Quillo 3"
wait_for 10 bash -c "grep -rqs 'item0' '$logdir'" || fail "no log in $logdir"
grep -rqs "$vol/.Trash-0/files/item1" "$logdir" || fail "the log does not name the tmpfs volume's item"
wait_for 5 no_windows || fail "a window stayed open after the erase"

# A second start hands its request to the running one, which asks for confirmation.
plant_trash "$vol/.Trash-0" 1
timeout 15 "$quillo" --empty-all >"$work/second.log" 2>&1 || fail "the second quillo failed: $(cat "$work/second.log")"
wait_for 10 windows_at_least 1 || fail "no confirmation after quillo --empty-all"
sleep 0.3
xdotool key Escape
wait_for 5 no_windows || fail "the confirmation did not close on Escape"
[[ -n $(ls -A "$vol/.Trash-0/files") ]] || fail "a cancelled erase removed something"

# The panel restarts: the icon comes back in the new tray and its menu works.
kill "$trayer_pid"
wait "$trayer_pid" 2>/dev/null
sleep 0.5
start_trayer top
sleep 2.5
xdotool mousemove 14 14 click 1
sleep 0.7
xdotool key Down Return
wait_for 10 windows_at_least 1 || fail "no menu from the icon after the tray host restarted"
sleep 0.3
xdotool key Escape
wait_for 5 no_windows || fail "the confirmation did not close on Escape"

if [[ "$hotkeys" == --hotkeys ]]; then
  sleep 0.5
  xdotool key ctrl+super+BackSpace
  wait_for 10 windows_at_least 1 || fail "no confirmation after Ctrl+Super+Backspace"
  sleep 0.3
  xdotool key Escape
fi
kill -0 "$qpid" 2>/dev/null || fail "quillo is gone"
echo "PASS"
