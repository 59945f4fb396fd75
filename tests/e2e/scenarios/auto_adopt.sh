#!/usr/bin/env bash
# A link left up by an earlier run is adopted by a start with "/auto": the
# window goes into the tray, nothing is dialled, the first double click on
# the icon opens it, and it shows the link as connected.
. "$(dirname "$0")/../lib.sh"
e2e_begin auto_adopt

seed_installed
start_app /l /n
w=$(main_window)
connect_from_main_page "$w"
crop "$w" "$STATUS_BOX" "$WORK/status-connected.png"
handle=$(connected_handle)
# Leave it up: "Нет" to the close question.
close_main_window "$w"
q=$(wait_window "$CONFIRM_TITLE" 10) || e2e_fail "no close question with the link up"
geometry "$q"
first=$(( (WW - 235 + 1) / 2 ))
click "$q" $((first + 80 + 37)) $((56 + 12))
wait_app_exit 10 || e2e_fail "the first run did not end"
[ "$(connected_handle)" = "$handle" ] || e2e_fail "the link did not stay up: $(connections)"

start_app /auto
icon=$(wait_tray_icon 15) || e2e_fail "a start with \"/auto\" shows no tray icon"
# Shown and at once minimised: give the window manager a moment, then it
# must be away.
wait_for 5 '[ -z "$(windows_named "$APP_TITLE")" ]' || e2e_fail "a start with \"/auto\" left the window on the screen"
sleep 1
[ -z "$(windows_named "$APP_TITLE")" ] || e2e_fail "the window came back by itself after a start with \"/auto\""
shot "auto-start" >/dev/null

tray_double_click "$icon"
aw=$(wait_window "$APP_TITLE" 5) || e2e_fail "the first double click on the tray icon did not open the window"
sleep 0.5
shot "adopted" >/dev/null
[ "$(connected_handle)" = "$handle" ] || e2e_fail "the link changed: $(connections)"
[ "$(connections | wc -l)" -eq 1 ] || e2e_fail "something was dialled: $(connections)"
crop "$aw" "$STATUS_BOX" "$WORK/status-adopted.png"
n=$(differing_pixels "$WORK/status-connected.png" "$WORK/status-adopted.png")
[ "$n" -lt 10 ] || e2e_fail "the adopted link is not shown as connected ($n pixels differ)"
E2E_RESULT=0
