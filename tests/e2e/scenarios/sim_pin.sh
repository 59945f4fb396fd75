#!/usr/bin/env bash
# A modem whose SIM card asks for its PIN: "Подключиться" ends within 5 s
# with the modem's own word, not a dial that times out; "Детали >>" says
# what to do. Nothing is dialled and no PIN is stored anywhere.
. "$(dirname "$0")/../lib.sh"
# The event log is code page 1251.
log_text() { iconv -f CP1251 -t UTF-8 "$(LOG_FILE)" 2>/dev/null; }
e2e_begin sim_pin

set_network "USB GPRS Modem" Sim pin
seed_installed
start_app /l /n
w=$(main_window)
sleep 0.5
start=$(date +%s%N)
click "$w" "$CONNECT_X" "$CONNECT_Y"
p=$(wait_window "$PROGRESS_TITLE" 10) || e2e_fail "no progress window after \"Подключиться\""
wait_for 5 '[ "$(log_count "src: RAS-Dialing error code")" -ge 1 ]' \
    || e2e_fail "the dial did not end within 5 s of \"Подключиться\""
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
line=$(log_text | grep -F "src: RAS-Dialing error code" | head -n1)
e2e_log "the dial ended after $elapsed_ms ms: $line"
grep -q "code: 960 .*SIM-карта запрашивает PIN-код" <<<"$line" || e2e_fail "not the SIM's own error: $line"
[ "$(connected_count)" -eq 0 ] || e2e_fail "a link came up"
sleep 0.5
window_viewable "$p" || e2e_fail "the progress window went before the user closed it"
shot "failed" >/dev/null
click "$p" 41 84   # "Детали >>"
sleep 0.5
shot "details" >/dev/null
"$WORK/bin/rasctl" log | grep -q "the SIM card PIN wanted (960)" \
    || e2e_fail "the service's log does not say why: $("$WORK/bin/rasctl" log | tail -n 3)"
"$WORK/bin/rasctl" modem "USB GPRS Modem" | grep -qx "SIM           PIN wanted" \
    || e2e_fail "rasctl modem does not say the SIM wants its PIN: $("$WORK/bin/rasctl" modem "USB GPRS Modem")"
click "$p" 284 84  # "Закрыть"
wait_window_gone "$p" 5 || e2e_fail "\"Закрыть\" did not close the progress window"
E2E_RESULT=0
