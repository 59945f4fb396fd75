#!/usr/bin/env bash
# A second start while the program runs hands over to the running one: its
# window comes back in normal state and in the foreground, the new process
# ends with code 0 and opens no window of its own.
. "$(dirname "$0")/../lib.sh"
e2e_begin second_start

seed_installed
start_app /l /n
w=$(main_window)
first_pid=$APP_PID
xdotool windowminimize --sync "$w" 2>/dev/null || xdotool windowunmap --sync "$w"
shot "first-minimised" >/dev/null
wait_for 5 '! window_viewable "$w"' || e2e_fail "the first window did not go away"

second_start /l /n
shot "handed-over" >/dev/null
pid_running "$first_pid" || e2e_fail "the first instance ended"
wait_for 5 'window_viewable "$w"' || e2e_fail "the running window did not come back"
[ "$(windows_named "$APP_TITLE" | wc -l)" -eq 1 ] || e2e_fail "not exactly one main window"
expect_foreground "$w" "after a second start"
# It stays: nothing sends it away again a moment later.
sleep 1
window_viewable "$w" || e2e_fail "the window went away again after the second start"
E2E_RESULT=0
