#!/usr/bin/env bash
# While a dial runs that the network never answers, the tray menu's
# "Подключиться" is disabled and choosing it starts nothing: one dial, one
# progress window, no error.
. "$(dirname "$0")/../lib.sh"
e2e_begin tray_connect_dial

set_network "USB GPRS Modem" NeverAnswers 1
seed_installed
start_app /l /n
w=$(main_window)
icon=$(wait_tray_icon 15) || e2e_fail "the program shows no tray icon"

# The menu as it is when nothing runs: item 2 ("Подключиться") in the ink of
# item 5 ("Выйти").
tray_menu_open "$icon"
shot "menu-idle" >/dev/null
idle2=$(menu_item_ink "$MENU" 2); idle3=$(menu_item_ink "$MENU" 5)
xdotool key Escape
wait_for 5 '! window_viewable "$MENU"' || e2e_fail "the menu did not close"
(( idle2 <= idle3 + 40 )) || e2e_fail "\"Подключиться\" looks disabled before any dial (ink $idle2, \"Выйти\" $idle3)"

click "$w" "$CONNECT_X" "$CONNECT_Y"
p=$(wait_window "$PROGRESS_TITLE" 10) || e2e_fail "no progress window \"$PROGRESS_TITLE\" after \"Подключиться\""
wait_for 10 '[ "$(log_count "DIAL-params")" -ge 1 ]' || e2e_fail "no DIAL-params line in the log"
sleep 1

tray_menu_open "$icon"
shot "menu-during-dial" >/dev/null
busy2=$(menu_item_ink "$MENU" 2); busy3=$(menu_item_ink "$MENU" 5)
e2e_log "ink of \"Подключиться\": $idle2 idle, $busy2 during the dial (\"Выйти\": $idle3, $busy3)"
(( busy2 >= busy3 + 60 )) || e2e_fail "\"Подключиться\" is not disabled during the dial (ink $busy2, \"Выйти\" $busy3)"
# Chosen all the same: nothing may start.
xdotool mousemove --window "$MENU" $((MENU_W / 2)) $(( MENU_H * 3 / (2 * TRAY_MENU_ITEMS) ))
sleep 0.2
xdotool click 1
sleep 0.5
window_viewable "$MENU" && xdotool key Escape
sleep 2
shot "after-choosing-it" >/dev/null

app_running || e2e_fail "the program ended"
[ "$(log_count "DIAL-params")" -eq 1 ] || e2e_fail "$(log_count "DIAL-params") DIAL-params lines: a second dial started inside the first"
[ "$(windows_named "$PROGRESS_TITLE" | wc -l)" -eq 1 ] || e2e_fail "not exactly one progress window"
window_viewable "$p" || e2e_fail "the first dial's progress window went away"
[ "$(log_count "code: 756")" -eq 0 ] || e2e_fail "the log reports 756 (a dial already running)"
E2E_RESULT=0
