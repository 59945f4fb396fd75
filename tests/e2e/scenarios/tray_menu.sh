#!/usr/bin/env bash
# The tray: the minimise area sends the window into the tray, the icon's menu
# ("Открыть программу", "Подключиться"/"Отключиться", "Статистика трафика",
# "Баланс счёта", "Отчёт для службы поддержки...", "Выйти") connects, opens the window,
# disconnects, shows the traffic statistics, writes the support report on the
# desktop and ends the program, each the first time.
. "$(dirname "$0")/../lib.sh"
e2e_begin tray_menu

seed_installed
# The desktop folder as xdg-user-dir names it, and an "open" verb that
# records what it was given.
mkdir -p "$WORK/config" "$WORK/desktop"
echo "XDG_DESKTOP_DIR=\"$WORK/desktop\"" >"$WORK/config/user-dirs.dirs"
export XDG_CONFIG_HOME=$WORK/config
printf '#!/bin/sh\necho "$1" >>"%s"\n' "$WORK/opened" >"$WORK/open"
chmod +x "$WORK/open"
export SKYPORTAL_OPEN=$WORK/open
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
s=$(wait_window "Статистика трафика" 10) || e2e_fail "\"Статистика трафика\" in the menu showed no window"
shot "traffic-stats" >/dev/null
# Closed as a person would, through the window manager (a key sent to the
# window itself would leave Alt down for the next window).
xdotool windowactivate --sync "$s" key alt+F4 2>/dev/null || e2e_fail "cannot close the statistics window"
wait_window_gone "$s" 10 || e2e_fail "the statistics window did not close"

tray_menu_item "$icon" 5
box=$(wait_window "Информация" 20) || e2e_fail "\"Отчёт для службы поддержки...\" said nothing"
shot "report-saved" >/dev/null
reports=("$WORK/desktop"/skyportal-report-*.tar.gz)
[ -f "${reports[0]}" ] || e2e_fail "no report in the desktop folder"
# sed reads the whole list: head would end tar early, which pipefail counts as a failure.
first=$(tar -tzf "${reports[0]}" | sed -n 1p)
[[ $first == */report.txt ]] || e2e_fail "the report begins with \"$first\", not report.txt"
xdotool windowactivate --sync "$box" key Return 2>/dev/null || xdotool key Return
wait_window_gone "$box" 5 || e2e_fail "the message box stayed"
wait_for 5 '[ "$(cat "$WORK/opened" 2>/dev/null)" = "$WORK/desktop" ]' || e2e_fail "the desktop folder was not opened"

tray_menu_item "$icon" 6
wait_app_exit 10 || e2e_fail "\"Выйти\" did not end the program"
[ "$APP_RC" -eq 0 ] || e2e_fail "exit code $APP_RC"
E2E_RESULT=0
