#!/usr/bin/env bash
# A machine root with a long path (91 bytes, the longest whose service socket
# fits a Unix socket address) still hands a second start over to the running
# program.
. "$(dirname "$0")/../lib.sh"
e2e_begin long_root

"$WORK/bin/rasctl" service stop >/dev/null 2>&1
pad=$(( 91 - ${#WORK} - 6 ))
(( pad > 0 )) || e2e_fail "the scenario's folder $WORK is too long for a 91-byte root"
long=$WORK/root-$(head -c "$pad" /dev/zero | tr '\0' x)
prepare_root "$long"
e2e_log "machine root of ${#SKYPORTAL_ROOT} bytes"
[ ${#SKYPORTAL_ROOT} -eq 91 ] || e2e_fail "the root is ${#SKYPORTAL_ROOT} bytes, not 91"

seed_installed
start_app /l /n
w=$(main_window)
click "$w" "$MINIMISE_X" "$TITLE_AREA_Y"
wait_for 5 '! window_viewable "$w"' || e2e_fail "the minimise area did not send the window into the tray"

second_start /l /n
wait_for 5 'window_viewable "$w"' || e2e_fail "a second start on a long machine root did not bring the window back"
expect_foreground "$w" "after a second start on a long machine root"
shot "handed-over" >/dev/null
E2E_RESULT=0
