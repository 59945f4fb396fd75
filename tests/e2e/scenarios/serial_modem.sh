#!/usr/bin/env bash
# A real modem on a serial port (a simulated AT modem on a pseudo-terminal):
# added with rasctl, chosen in the program, dialled with "Подключиться". The
# modem is programmed with the operator's APN and dialled with the entry's
# number; pppd then takes the line. Where the kernel has no ppp the dial
# fails with its clear error in the progress window and nothing is left
# running; "Закрыть" closes it.
. "$(dirname "$0")/../lib.sh"
e2e_begin serial_modem

[ -x "$BIN/fake-at-modem" ] || e2e_fail "the simulated AT modem is not built ($BIN/fake-at-modem)"
"$BIN/fake-at-modem" >"$WORK/modem.port" 2>"$WORK/modem.commands" &
MODEM_PID=$!
OTHER_PIDS+=("$MODEM_PID")
wait_for 5 '[ -s "$WORK/modem.port" ]' || e2e_fail "the simulated modem gave no port"
port=$(head -n1 "$WORK/modem.port")
"$WORK/bin/rasctl" add-modem "My Phone" "$port" >/dev/null || e2e_fail "rasctl add-modem failed"
set_network "My Phone" PppTimeoutMs 3000
"$WORK/bin/rasctl" devices | grep -qF "My Phone	serial $port 115200" \
    || e2e_fail "the modem is not listed: $("$WORK/bin/rasctl" devices)"

seed_installed "My Phone"
start_app /l /n
w=$(main_window)
sleep 0.5
click "$w" "$CONNECT_X" "$CONNECT_Y"
p=$(wait_window "$PROGRESS_TITLE" 10) || e2e_fail "no progress window after \"Подключиться\""
shot "dialling" >/dev/null
wait_for 20 '[ "$(log_count "src: RAS-Dialing error code")" -ge 1 ] || [ "$(connected_count)" -eq 1 ]' \
    || e2e_fail "the dial neither failed nor connected"
sleep 0.5
shot "dial-result" >/dev/null
if [ "$(connected_count)" -eq 0 ]; then
    line=$(grep -F "src: RAS-Dialing error code" "$(LOG_FILE)" | head -n1)
    e2e_log "the dial failed: $line"
    [ -e /dev/ppp ] || grep -q "code: 720" <<<"$line" || e2e_fail "not the no-ppp error: $line"
    "$WORK/bin/rasctl" log | grep -q "no ppp support" || [ -e /dev/ppp ] \
        || e2e_fail "the service's log does not say why: $("$WORK/bin/rasctl" log | tail -n 5)"
    window_viewable "$p" || e2e_fail "the progress window went before the user closed it"
    click "$p" 284 84   # "Закрыть"
    wait_window_gone "$p" 5 || e2e_fail "\"Закрыть\" did not close the progress window"
    wait_for 5 '! pgrep -x pppd >/dev/null' || e2e_fail "pppd is still running"
fi
shot "closed" >/dev/null

kill -TERM "$MODEM_PID"
wait "$MODEM_PID"
mapfile -t commands <"$WORK/modem.commands"
e2e_log "the modem received: ${commands[*]}"
# The program may have had the modem read first (AT, its SIM, network and
# signal); the dial begins with the reset.
dial=$(printf '%s\n' "${commands[@]}" | sed -n '/^ATZ$/,$p')
[ -n "$dial" ] || e2e_fail "not reset before the dial: ${commands[*]}"
[ "$(sed -n 2p <<<"$dial")" = 'AT+CGDCONT=1,"IP","internet"' ] \
    || e2e_fail "the APN was not programmed: ${commands[*]}"
grep -q '^ATD\*99' <<<"$dial" || e2e_fail "not dialled: ${commands[*]}"
E2E_RESULT=0
