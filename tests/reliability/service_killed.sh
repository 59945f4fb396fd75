#!/usr/bin/env bash
# The service killed while a link is up: the program reports the lost link
# ("Соединение прервано") within a bounded time and keeps answering; "Да"
# dials through a service started anew, without restarting the program.
. "$(dirname "$0")/../e2e/lib.sh"
e2e_begin service_killed

seed_installed
start_app /l /n
w=$(main_window)
connect_from_main_page "$w"
old=$(cat "$SKYPORTAL_ROOT/run/rasman.pid")
kill -KILL "$old"
t0=$(date +%s%N)
b=$(wait_window "$BREAK_TITLE" 40) || e2e_fail "no \"$BREAK_TITLE\" within 40 s of the service's death"
lost_ms=$(( ($(date +%s%N) - t0) / 1000000 ))
shot "link-lost" >/dev/null
app_running || e2e_fail "the program ended"
t0=$(date +%s%N)
click "$b" $((88 + 37)) $((55 + 12))
p=$(wait_window "$PROGRESS_TITLE" 20) || e2e_fail "no progress window after \"Да\""
wait_window_gone "$p" 30 || e2e_fail "the progress window stayed"
wait_for 5 '[ "$(connected_count)" -eq 1 ]' || e2e_fail "not connected through the new service: $(connections)"
redial_ms=$(( ($(date +%s%N) - t0) / 1000000 ))
new=$(cat "$SKYPORTAL_ROOT/run/rasman.pid")
[ "$new" != "$old" ] || e2e_fail "the same service pid"
sleep 0.5
shot "connected-again" >/dev/null
click "$w" "$CONNECT_X" "$CONNECT_Y"
wait_for 10 '[ -z "$(connections)" ]' || e2e_fail "the hang-up through the new service failed"
app_running || e2e_fail "the program ended"
e2e_log "service killed: link reported lost after $lost_ms ms, connected again through the new service (pid $new) in $redial_ms ms, hung up"
E2E_RESULT=0
