#!/usr/bin/env bash
# The balance from the tray: "Баланс счёта" (right after "Статистика
# трафика") sends the operator's code and the program's box shows the
# network's answer, decoded from UCS-2; with the link up on the modem's only
# port the box says that the balance needs the link down.
. "$(dirname "$0")/../lib.sh"
# The event log is code page 1251.
log_text() { iconv -f CP1251 -t UTF-8 "$(LOG_FILE)" 2>/dev/null; }
e2e_begin tray_balance

set_network "USB GPRS Modem" UssdAnswer "Баланс: 250,00 руб. Бонусы: 10"
seed_installed
start_app /l /n
w=$(main_window)
icon=$(wait_tray_icon 15) || e2e_fail "the program shows no tray icon"

tray_menu_item "$icon" 4
box=$(wait_window "Информация" 10) || e2e_fail "\"Баланс счёта\" showed no message box"
shot "balance" >/dev/null
wait_for 5 '[ "$(log_count "src: USSD")" -ge 1 ]' || e2e_fail "the answer is not in the log"
log_text | grep -F "src: USSD" | grep -qF "Баланс: 250,00 руб. Бонусы: 10" \
    || e2e_fail "not the network's answer: $(log_text | grep -F "src: USSD")"
xdotool windowactivate --sync "$box" key Return 2>/dev/null || xdotool key Return
wait_window_gone "$box" 5 || e2e_fail "the message box stayed"

click "$w" "$CONNECT_X" "$CONNECT_Y"
wait_for 20 '[ "$(connected_count)" -eq 1 ]' || e2e_fail "not connected"
wait_for 10 '[ -z "$(windows_named "$PROGRESS_TITLE")" ]' || e2e_fail "the progress window stayed"
tray_menu_item "$icon" 4
box=$(wait_window "Ошибка!" 10) || e2e_fail "\"Баланс счёта\" with the link up said nothing"
shot "balance-link-up" >/dev/null
wait_for 5 '[ "$(log_count "src: USSD")" -ge 2 ]' || e2e_fail "the refusal is not in the log"
log_text | grep -F "src: USSD" | tail -n1 | grep -q "966" \
    || e2e_fail "not the busy port's refusal: $(log_text | grep -F "src: USSD" | tail -n1)"
xdotool windowactivate --sync "$box" key Return 2>/dev/null || xdotool key Return
wait_window_gone "$box" 5 || e2e_fail "the message box stayed"
E2E_RESULT=0
