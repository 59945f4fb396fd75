#!/usr/bin/env bash
# The network drops the link (rasctl drop): "Соединение прервано" comes up,
# "Да" dials again through the progress window, and the link is up again.
. "$(dirname "$0")/../lib.sh"
e2e_begin drop_restore

seed_installed
start_app /l /n
w=$(main_window)
connect_from_main_page "$w"
crop "$w" "$STATUS_BOX" "$WORK/status-connected.png"
first=$(connected_handle)
"$WORK/bin/rasctl" drop all || e2e_fail "rasctl drop failed"
b=$(wait_window "$BREAK_TITLE" 12) || e2e_fail "no \"$BREAK_TITLE\" window after the drop"
shot "connection-lost" >/dev/null
geometry "$b"
[ "$WW" -eq 326 ] && [ "$WH" -eq 93 ] || e2e_fail "\"$BREAK_TITLE\" is ${WW}x${WH}, expected 326x93"
# "Да" at 88, 55 (75 x 25).
click "$b" $((88 + 37)) $((55 + 12))
p=$(wait_window "$PROGRESS_TITLE" 10) || e2e_fail "no progress window after \"Да\""
shot "redial" >/dev/null
wait_window_gone "$p" 20 || e2e_fail "the progress window stayed"
wait_for 5 '[ "$(connected_count)" -eq 1 ]' || e2e_fail "not connected again: $(connections)"
[ -z "$(windows_named "$BREAK_TITLE")" ] || e2e_fail "\"$BREAK_TITLE\" is still open"
second=$(connected_handle)
[ "$second" != "$first" ] || e2e_fail "the same handle $first: nothing was dialled"
sleep 0.5
shot "connected-again" >/dev/null
crop "$w" "$STATUS_BOX" "$WORK/status-again.png"
n=$(differing_pixels "$WORK/status-connected.png" "$WORK/status-again.png")
[ "$n" -lt 10 ] || e2e_fail "the status line does not show the connected text again ($n pixels differ)"
e2e_log "link $first dropped, restored as $second"
E2E_RESULT=0
