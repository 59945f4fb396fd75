#!/usr/bin/env bash
# A second start while the program runs hands over to the running one: its
# window comes back in normal state, the new process ends with code 0 and
# opens no window of its own.
. "$(dirname "$0")/../lib.sh"
e2e_begin second_start

seed_installed
start_app /l /n
w=$(main_window)
first_pid=$APP_PID
xdotool windowminimize --sync "$w" 2>/dev/null || xdotool windowunmap --sync "$w"
shot "first-minimised" >/dev/null
window_viewable "$w" && e2e_fail "the first window did not go away"

start_app /l /n
second_pid=$APP_PID
OTHER_PIDS+=("$first_pid")
wait_for 10 '! app_running || [ -n "$(windows_named "$APP_TITLE" | grep -vx "$w")" ]' \
    || e2e_fail "the second start neither ended nor opened a window"
if app_running; then
    shot "second-window" >/dev/null
    e2e_skip "single instance not built yet: a second start opens a window of its own"
fi
wait_app_exit 1
[ "$APP_RC" -eq 0 ] || e2e_fail "the second start ended with $APP_RC"
APP_PID=$first_pid
shot "handed-over" >/dev/null
pid_running "$first_pid" || e2e_fail "the first instance ended"
window_viewable "$w" || e2e_fail "the running window did not come back"
[ "$(windows_named "$APP_TITLE" | wc -l)" -eq 1 ] || e2e_fail "not exactly one main window"
active=$(xdotool getactivewindow 2>/dev/null)
[ "$active" = "$w" ] || e2e_log "note: the restored window is not the active one ($active)"
E2E_RESULT=0
