#!/usr/bin/env bash
# "Подключиться" on the main page: the progress window "Установка соединения"
# shows the dial and goes, the service holds the link through the operator's
# entry, and the status line changes to the connected text.
. "$(dirname "$0")/../lib.sh"
e2e_begin connect

seed_installed
start_app /l /n
w=$(main_window)
sleep 0.5
shot "main-page" >/dev/null
crop "$w" "$STATUS_BOX" "$WORK/status-before.png"
[ "$(connected_count)" -eq 0 ] || e2e_fail "a connection before the click"

connect_from_main_page "$w"
shot "connected" >/dev/null
entry=$(connections | awk -F'\t' '$4 == "8192" {print $2 "/" $3}')
[ "$entry" = "Zentora/USB GPRS Modem" ] || e2e_fail "connected through \"$entry\""
crop "$w" "$STATUS_BOX" "$WORK/status-after.png"
n=$(differing_pixels "$WORK/status-before.png" "$WORK/status-after.png")
[ "$n" -gt 20 ] || e2e_fail "the status line did not change ($n pixels)"
[ "$(log_count 'src: DIAL-params      code: 0         msg: Entry: Zentora ; Phone: *99***1#')" -eq 1 ] \
    || e2e_fail "not one dial in the log"
e2e_log "connected: $(connections | tr '\t' ' ')"
E2E_RESULT=0
