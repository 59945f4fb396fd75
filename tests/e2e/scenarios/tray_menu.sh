#!/usr/bin/env bash
# The tray: the minimise area sends the window into the tray, the icon's menu
# ("Открыть программу", "Подключиться"/"Отключиться", "Выйти") connects,
# opens the window, disconnects and ends the program, each the first time.
. "$(dirname "$0")/../lib.sh"
e2e_begin tray_menu

seed_installed
start_app /l /n
w=$(main_window)
icon=$(wait_tray_icon 15) || e2e_fail "the program shows no tray icon"
shot "tray-icon" >/dev/null

click "$w" "$MINIMISE_X" "$TITLE_AREA_Y"
wait_for 5 '! window_viewable "$w"' || e2e_fail "the minimise area did not send the window into the tray"
shot "in-tray" >/dev/null

tray_menu_item "$icon" 2
p=$(wait_window "$PROGRESS_TITLE" 10) || e2e_fail "\"Подключиться\" in the menu showed no progress window"
wait_window_gone "$p" 20 || e2e_fail "the progress window stayed"
wait_for 5 '[ "$(connected_count)" -eq 1 ]' || e2e_fail "not connected from the menu"

tray_menu_item "$icon" 1
wait_for 5 'window_viewable "$w"' || e2e_fail "\"Открыть программу\" did not open the window"
shot "opened" >/dev/null
expect_foreground "$w" "after \"Открыть программу\""

tray_menu_item "$icon" 2
wait_for 10 '[ -z "$(connections)" ]' || e2e_fail "\"Отключиться\" in the menu left the link up"

tray_menu_item "$icon" 3
wait_app_exit 10 || e2e_fail "\"Выйти\" did not end the program"
[ "$APP_RC" -eq 0 ] || e2e_fail "exit code $APP_RC"
E2E_RESULT=0
