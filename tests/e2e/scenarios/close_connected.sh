#!/usr/bin/env bash
# Closing the window by its close area with a link up asks "Соединение с
# Интернетом открыто. Закрыть его?" (Да / Нет / Отменить); "Да" hangs up and
# the program ends.
. "$(dirname "$0")/../lib.sh"
e2e_begin close_connected

seed_installed
start_app /l /n
w=$(main_window)
connect_from_main_page "$w"
close_main_window "$w"
q=$(wait_window "$CONFIRM_TITLE" 10) || e2e_fail "the close area with a link up asked no \"$CONFIRM_TITLE\" question"
shot "question" >/dev/null
geometry "$q"
[ "$WH" -eq 91 ] && [ "$WW" -ge 300 ] || e2e_fail "the question box is ${WW}x${WH}"
# Three buttons of 75 with gaps of 5, centred: "Да" is the first.
first=$(( (WW - 235 + 1) / 2 ))
click "$q" $((first + 37)) $((56 + 12))
wait_app_exit 10 || e2e_fail "the program did not end after \"Да\""
[ "$APP_RC" -eq 0 ] || e2e_fail "exit code $APP_RC"
wait_for 5 '[ -z "$(connections)" ]' || e2e_fail "the link is still up after \"Да\": $(connections)"
[ "$(setting StartStage)" = "2" ] || e2e_fail "the settings were not saved"
E2E_RESULT=0
