#!/usr/bin/env bash
# "Отключиться" hangs the link up: the service has no connection left and
# the window shows the disconnected status again.
. "$(dirname "$0")/../lib.sh"
e2e_begin disconnect

seed_installed
start_app /l /n
w=$(main_window)
sleep 0.5
crop "$w" "$STATUS_BOX" "$WORK/status-idle.png"
connect_from_main_page "$w"
shot "connected" >/dev/null
click "$w" "$CONNECT_X" "$CONNECT_Y"
wait_for 10 '[ -z "$(connections)" ]' || e2e_fail "the link is still there: $(connections)"
sleep 0.5
shot "disconnected" >/dev/null
crop "$w" "$STATUS_BOX" "$WORK/status-after.png"
n=$(differing_pixels "$WORK/status-idle.png" "$WORK/status-after.png")
[ "$n" -lt 10 ] || e2e_fail "the status line does not show the disconnected text ($n pixels differ)"
app_running || e2e_fail "the program ended"
E2E_RESULT=0
