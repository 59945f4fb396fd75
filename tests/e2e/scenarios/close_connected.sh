#!/usr/bin/env bash
# Closing the window with a link up asks "Соединение с Интернетом открыто.
# Закрыть его?" (Да / Нет / Отменить); "Да" hangs up and the program ends.
. "$(dirname "$0")/../lib.sh"
e2e_begin close_connected

seed_installed
start_app /l /n
w=$(main_window)
connect_from_main_page "$w"
close_main_window "$w"
if ! q=$(wait_window "$CONFIRM_TITLE" 4); then
    shot "closed-without-question" >/dev/null
    if wait_app_exit 5 && [ "$(connected_count)" -eq 1 ]; then
        e2e_skip "the close does not ask about the open connection yet (the program ended, the link stayed up)"
    fi
    e2e_fail "no \"$CONFIRM_TITLE\" question and the program did not end as a plain close would"
fi
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
