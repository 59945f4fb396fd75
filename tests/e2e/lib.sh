# Shared by the end-to-end scenarios: a virtual X server with a window
# manager and a tray, a fresh machine root, the program started from a folder
# of its own (its log lands there), clicks at window-relative positions,
# screenshots of every step, and the clean-up of everything started here.
#
# A scenario sources this file, calls e2e_begin NAME, then the helpers below.
# Exit codes: 0 passed, 1 failed, 77 skipped (a desktop tool is not
# installed). Behaviour that is missing is a failure, never a skip.

set -uo pipefail

E2E_SKIP=77
E2E_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
APP_TITLE="Зентора Skyportal"
PROGRESS_TITLE="Установка соединения"
BREAK_TITLE="Соединение прервано"
CONFIRM_TITLE="Подтвердите"

# Positions inside the 500 x 360 main window. The pages sit 49 pixels below
# its top, so a control at (x, y) of a page is at (x, y + 49) of the window.
PAGE_TOP=49
# agreement page
UA_TEXT_X=200;      UA_TEXT_Y=$((47 + PAGE_TOP + 80))
AGREE_X=$((401 + 42)); AGREE_Y=$((226 + PAGE_TOP + 12))
DISAGREE_X=$((16 + 42)); DISAGREE_Y=$((226 + PAGE_TOP + 12))
# installation / settings page: the modem list's first item, "Далее"
MODEM0_X=$((17 + 60)); MODEM0_Y=$((78 + PAGE_TOP + 8))
MODEM_ITEM_H=17
NEXT_X=$((313 + 37));  NEXT_Y=$((216 + PAGE_TOP + 12))
# main page: the connection button, the status line, the statistics
CONNECT_X=$((16 + 96)); CONNECT_Y=$((148 + PAGE_TOP + 15))
STATUS_BOX="185x13+16+$((103 + PAGE_TOP))"
STATS_BOX="220x100+268+$((80 + PAGE_TOP))"
GRAPH_BOX="192x45+16+$((52 + PAGE_TOP))"
# the painted title band of the background picture
MINIMISE_X=462; CLOSE_X=484; TITLE_AREA_Y=13

e2e_log() { printf '[%6.1fs] %s\n' "$(e2e_elapsed)" "$*"; }
e2e_elapsed() { echo "$(( $(date +%s%N) / 1000000 - E2E_T0 ))" | awk '{printf "%.1f", $1 / 1000}'; }

e2e_fail()
{
    if (( BASH_SUBSHELL > 0 )); then
        # Inside $(...): the scenario's own shell has to end, not just this one.
        e2e_log "FAIL: $*" >&2
        echo "$*" >"$WORK/failed"
        kill -USR1 $$
        exit 1
    fi
    e2e_log "FAIL: $*"
    [ -n "${DISPLAY:-}" ] && shot "failure" >/dev/null 2>&1
    E2E_RESULT=1
    exit 1
}

e2e_skip()
{
    e2e_log "SKIP: $*"
    E2E_RESULT=$E2E_SKIP
    exit $E2E_SKIP
}

# NAME: the scenario; its screenshots go to $E2E_OUT/NAME.
e2e_begin()
{
    E2E_NAME=$1
    E2E_T0=$(( $(date +%s%N) / 1000000 ))
    E2E_RESULT=1
    BIN=${SKYPORTAL_BIN_DIR:?the build folder of the program (SKYPORTAL_BIN_DIR)}
    OUT=${E2E_OUT:-$PWD/e2e-out}/$E2E_NAME
    rm -rf "$OUT"
    mkdir -p "$OUT"
    SHOT_N=0
    local tool
    for tool in Xvfb openbox trayer xdotool xwininfo xprop import compare convert; do
        command -v "$tool" >/dev/null || e2e_skip "$tool is not installed (scripts/setup installs it)"
    done
    [ -x "$BIN/skyportal" ] || e2e_fail "the program is not built ($BIN/skyportal)"
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/skyportal-e2e.XXXXXX")
    # A home of its own: the wizard's desktop and autostart entries land in
    # the user's folders, never in the real ones.
    export HOME=$WORK/home XDG_CONFIG_HOME=$WORK/home/.config
    unset XDG_DESKTOP_DIR
    mkdir -p "$HOME"
    APP_PID=""; XVFB_PID=""; WM_PID=""; TRAY_PID=""
    OTHER_PIDS=()
    trap e2e_end EXIT
    trap 'e2e_fail "interrupted"' INT TERM
    trap 'e2e_fail "$(cat "$WORK/failed" 2>/dev/null)"' USR1
    start_x
    prepare_root
}

e2e_end()
{
    local rc=$?
    set +e
    local pid
    exec 2>/dev/null
    for pid in ${APP_PID:-} "${OTHER_PIDS[@]}"; do
        [ -n "$pid" ] && kill -0 "$pid" && kill -KILL "$pid" && wait "$pid"
    done
    # The service outlives the program by design; it is stopped here.
    [ -n "${SKYPORTAL_ROOT:-}" ] && [ -S "$SKYPORTAL_ROOT/run/rasman.sock" ] \
        && timeout 5 "$BIN/rasctl" service stop >/dev/null 2>&1
    for pid in ${TRAY_PID:-} ${WM_PID:-} ${XVFB_PID:-}; do
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in ${TRAY_PID:-} ${WM_PID:-} ${XVFB_PID:-}; do
        wait "$pid" 2>/dev/null
    done
    if [ "$rc" -ne 0 ] && [ "$rc" -ne "$E2E_SKIP" ]; then
        # Kept for a look at what went wrong.
        [ -f "$WORK/bin/GPRSlog.log" ] && cp "$WORK/bin/GPRSlog.log" "$OUT/GPRSlog.log"
        [ -f "$WORK/app.out" ] && cp "$WORK/app.out" "$OUT/program-output.txt"
    fi
    rm -rf "$WORK"
    e2e_log "end ($rc), screenshots in $OUT"
    exit "$rc"
}

# A display of its own (the server picks a free number), openbox, trayer.
start_x()
{
    local fdfile=$WORK/display
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fdfile" >"$WORK/xvfb.log" 2>&1 &
    XVFB_PID=$!
    wait_for 10 '[ -s "$fdfile" ]' || e2e_fail "the X server did not start"
    export DISPLAY=:$(head -n1 "$fdfile")
    unset WAYLAND_DISPLAY
    export QT_QPA_PLATFORM=xcb
    export XDG_RUNTIME_DIR=$WORK/xdg-runtime
    mkdir -m 0700 -p "$XDG_RUNTIME_DIR"
    # A display that is only just free again can refuse the first client.
    local attempt
    for attempt in 1 2 3; do
        openbox --sm-disable >"$WORK/openbox.log" 2>&1 &
        WM_PID=$!
        wait_for 15 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" || ! pid_running "$WM_PID"'
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && break
        kill "$WM_PID" 2>/dev/null; wait "$WM_PID" 2>/dev/null
        sleep 0.5
    done
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" \
        || { cp "$WORK/openbox.log" "$OUT/openbox.log" 2>/dev/null; e2e_fail "openbox did not start on $DISPLAY"; }
    trayer --edge bottom --align right --widthtype pixel --width 160 --height 28 \
        --SetDockType true --transparent false --expand false >"$WORK/trayer.log" 2>&1 &
    TRAY_PID=$!
    wait_for 30 'tray_window >/dev/null' || e2e_fail "trayer did not start"
    e2e_log "display $DISPLAY with openbox and trayer"
}

tray_window() { xdotool search --class trayer 2>/dev/null | head -n1 | grep .; }

# A fresh machine root (ROOT, else $WORK/root) with the default simulated
# machine, dials a little quicker than the default, the program's files
# linked into a folder of their own so that its log is the scenario's own.
prepare_root()
{
    export SKYPORTAL_ROOT=${1:-$WORK/root}
    # No name look-up and no waiting for the operator's server after a dial.
    export SKYPORTAL_UPDATE_HOST=127.0.0.1
    mkdir -p "$SKYPORTAL_ROOT" "$WORK/bin"
    local f
    for f in skyportal libskyportal-rasapi.so rasman rasctl; do
        ln "$BIN/$f" "$WORK/bin/$f" 2>/dev/null || cp "$BIN/$f" "$WORK/bin/$f"
    done
    "$WORK/bin/rasctl" devices >/dev/null || e2e_fail "the service did not start"
    set_network Service StateDelayMs 100
    set_network "USB GPRS Modem" RxRate 6000
}

# network.ini: KEY=VALUE in SECTION, added when missing.
set_network()
{
    local section=$1 key=$2 value=$3 ini=$SKYPORTAL_ROOT/network.ini
    awk -v s="[$section]" -v k="$key" -v v="$value" '
        function flush() { if (insec && !done) { print k "=" v; done = 1 } }
        /^\[/ { flush(); insec = ($0 == s) }
        insec && index($0, k "=") == 1 { if (!done) print k "=" v; done = 1; next }
        { print }
        END { flush(); if (!done) { print s; print k "=" v } }' "$ini" >"$ini.new" && mv "$ini.new" "$ini"
}

# The settings of a finished first start: the main page comes first.
seed_installed()
{
    local modem=${1:-USB GPRS Modem} key='HKLM\Software\Zentora\Skyportal' name value
    for name in Modem StartStage; do
        case $name in Modem) value=$modem ;; StartStage) value=2 ;; esac
        "$BIN/skyportal-reg" add "$key" /v "$name" /t REG_SZ \
            /d "$("$BIN/skyportal-cipher" encrypt "$value")" /f >/dev/null || e2e_fail "cannot seed $name"
    done
}

setting()
{
    local stored
    stored=$("$BIN/skyportal-reg" query 'HKLM\Software\Zentora\Skyportal' /v "$1" 2>/dev/null \
        | awk -v n="$1" '$1 == n { $1 = ""; $2 = ""; sub(/^ +/, ""); print }')
    [ -n "$stored" ] && "$BIN/skyportal-cipher" decrypt "$stored"
}

start_app()
{
    # In the sanitizer build: leaks of the desktop's libraries are not the program's.
    export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$E2E_LIB_DIR/lsan.supp:print_suppressions=0}
    (cd "$WORK" && exec "$WORK/bin/skyportal" "$@") >"$WORK/app.out" 2>&1 &
    APP_PID=$!
    e2e_log "started skyportal $* (pid $APP_PID)"
}

LOG_FILE() { echo "$WORK/bin/GPRSlog.log"; }
log_count() { grep -cF -- "$1" "$(LOG_FILE)" 2>/dev/null || true; }

# wait_for SECONDS 'shell condition'
wait_for()
{
    local deadline=$(( $(date +%s%N) / 1000000 + $1 * 1000 ))
    while (( $(date +%s%N) / 1000000 < deadline )); do
        eval "$2" && return 0
        sleep 0.1
    done
    return 1
}

# Mapped top-level windows whose caption is exactly TITLE.
windows_named()
{
    local w
    for w in $(xdotool search --onlyvisible --name "$1" 2>/dev/null); do
        [ "$(xdotool getwindowname "$w" 2>/dev/null)" = "$1" ] && echo "$w"
    done
}

# wait_window TITLE SECONDS: the window id once such a window is mapped.
wait_window()
{
    local title=$1 secs=${2:-10} w=""
    wait_for "$secs" 'w=$(windows_named "$title" | head -n1); [ -n "$w" ]' || return 1
    check_caption "$w" "$title"
    echo "$w"
}

wait_window_gone()
{
    local w=$1 secs=${2:-10}
    wait_for "$secs" '! window_viewable "$w"'
}

# xwininfo without a valid id would wait for a click: every id is checked first.
is_window_id() { [[ ${1:-} =~ ^(0x[0-9a-fA-F]+|[0-9]+)$ ]]; }
window_viewable() { is_window_id "$1" && xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'; }

# The caption as the window manager reads it, both the old and the EWMH name.
check_caption()
{
    local w=$1 want=$2 name netname
    name=$(xdotool getwindowname "$w")
    netname=$(xprop -id "$w" _NET_WM_NAME 2>/dev/null | sed -n 's/^_NET_WM_NAME(UTF8_STRING) = "\(.*\)"$/\1/p')
    [ "$name" = "$want" ] || e2e_fail "caption \"$name\", expected \"$want\""
    [ "$netname" = "$want" ] || e2e_fail "_NET_WM_NAME \"$netname\", expected \"$want\""
}

# Absolute position and size of a window: sets WX WY WW WH.
geometry()
{
    local info
    is_window_id "$1" || e2e_fail "no window id (\"$1\")"
    info=$(xwininfo -id "$1") || e2e_fail "window $1 is gone"
    WX=$(awk '/Absolute upper-left X/ {print $NF}' <<<"$info")
    WY=$(awk '/Absolute upper-left Y/ {print $NF}' <<<"$info")
    WW=$(awk '/^ *Width:/ {print $NF}' <<<"$info")
    WH=$(awk '/^ *Height:/ {print $NF}' <<<"$info")
}

# click WINDOW X Y [BUTTON]: a press and release where a person would click.
click()
{
    local w=$1 x=$2 y=$3 button=${4:-1}
    xdotool mousemove --window "$w" "$x" "$y" || e2e_fail "cannot move the pointer onto window $w"
    sleep 0.1
    xdotool click "$button"
}

# wheel WINDOW X Y COUNT: turns the wheel towards the user COUNT notches.
wheel()
{
    xdotool mousemove --window "$1" "$2" "$3"
    sleep 0.1
    xdotool click --repeat "$4" --delay 8 5
}

# shot STEP: the whole screen (windows, dialogs, tray) as NN-STEP.png.
shot()
{
    SHOT_N=$((SHOT_N + 1))
    local file
    file=$(printf '%s/%02d-%s.png' "$OUT" "$SHOT_N" "$1")
    import -window root "$file" 2>/dev/null || e2e_log "screenshot $1 failed"
    echo "$file"
}

# crop WINDOW BOX FILE: the part WxH+X+Y of the window, as the screen shows it.
crop()
{
    geometry "$1"
    local size=${2%%+*} rest=${2#*+}
    local x=${rest%%+*} y=${rest#*+}
    import -window root -crop "${size}+$((WX + x))+$((WY + y))" +repage "$3" 2>/dev/null
}

# Pixels that differ between two pictures of the same size.
differing_pixels()
{
    compare -metric AE "$1" "$2" null: 2>&1 | awk '{print int($1)}'
}

# The connections of the service: handle, entry, device, state[/error], rx, tx.
connections() { "$WORK/bin/rasctl" connections 2>/dev/null; }
connected_count() { connections | awk -F'\t' '$4 == "8192"' | wc -l; }
connected_handle() { connections | awk -F'\t' '$4 == "8192" {print $1; exit}'; }

# The first start through to the main page, as a new user does it.
first_start_to_main_page()
{
    local w=$1
    wheel "$w" "$UA_TEXT_X" "$UA_TEXT_Y" 100
    sleep 0.3
    shot "agreement-scrolled" >/dev/null
    click "$w" "$AGREE_X" "$AGREE_Y"
    sleep 0.5
    click "$w" "$MODEM0_X" "$MODEM0_Y"
    sleep 0.3
    shot "modem-chosen" >/dev/null
    click "$w" "$NEXT_X" "$NEXT_Y"
    sleep 0.5
}

# Connect from the main page: the progress window must come and go, and the
# service must then hold one connected link.
connect_from_main_page()
{
    local w=$1 p
    click "$w" "$CONNECT_X" "$CONNECT_Y"
    p=$(wait_window "$PROGRESS_TITLE" 10) || e2e_fail "no progress window \"$PROGRESS_TITLE\" after \"Подключиться\""
    shot "progress" >/dev/null
    wait_window_gone "$p" 20 || e2e_fail "the progress window stayed"
    wait_for 5 '[ "$(connected_count)" -eq 1 ]' || e2e_fail "no connection after the dial: $(connections)"
    # The window's texts follow at the next repaint.
    sleep 0.5
}

# A window with the main window's caption: started, mapped, where it belongs.
main_window()
{
    local w
    w=$(wait_window "$APP_TITLE" "${1:-15}") || e2e_fail "no main window \"$APP_TITLE\""
    geometry "$w"
    [ "$WW" -eq 500 ] && [ "$WH" -eq 360 ] || e2e_fail "main window ${WW}x${WH}, expected 500x360"
    echo "$w"
}

# The program's tray icon: a small mapped window of the program's class
# embedded in trayer's panel.
tray_icon()
{
    local id size w h
    while read -r id size; do
        w=${size%%x*}; h=${size#*x}; h=${h%%+*}
        (( w >= 8 && w <= 64 && h >= 8 && h <= 64 )) || continue
        window_viewable "$id" && { echo "$id"; return 0; }
    done < <(xwininfo -root -tree 2>/dev/null \
        | awk '/\("skyportal" "skyportal"\)/ { for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+x[0-9]+\+/) { print $1, $i; break } }')
    return 1
}

# Closes the main window the way its frame offers: the painted close area.
close_main_window()
{
    click "$1" "$CLOSE_X" "$TITLE_AREA_Y"
}

# Waits until the tray icon is there: its id.
wait_tray_icon()
{
    local icon=""
    wait_for "${1:-15}" 'icon=$(tray_icon)' || return 1
    echo "$icon"
}

# A person's double click on the tray icon: the pointer comes to rest on it
# first.
tray_double_click()
{
    xdotool mousemove --window "$1" 8 8
    sleep 0.4
    xdotool click --repeat 2 --delay 80 1
}

# tray_menu_open ICON: opens the icon's menu, sets MENU (its window) and
# MENU_W, MENU_H. Three visible items of equal height.
tray_menu_open()
{
    local before
    before=$(xdotool search --onlyvisible --class skyportal 2>/dev/null | sort)
    xdotool mousemove --window "$1" 8 8
    sleep 0.3
    xdotool click 3
    wait_for 5 'MENU=$(comm -13 <(echo "$before") <(xdotool search --onlyvisible --class skyportal 2>/dev/null | sort) | head -n1); [ -n "$MENU" ]' \
        || e2e_fail "the tray icon has no menu"
    # The menu takes the pointer once it is up.
    sleep 0.4
    geometry "$MENU"
    MENU_W=$WW; MENU_H=$WH
}

# tray_menu_item ICON N: opens the menu and clicks its Nth item.
# The icon's menu has six visible items of equal height ("Открыть программу",
# "Подключиться", "Статистика трафика", "Баланс счёта", "Отчёт для службы
# поддержки...", "Выйти").
TRAY_MENU_ITEMS=6

tray_menu_item()
{
    tray_menu_open "$1"
    shot "menu-$2" >/dev/null
    xdotool mousemove --window "$MENU" $((MENU_W / 2)) $(( MENU_H * (2 * $2 - 1) / (2 * TRAY_MENU_ITEMS) ))
    sleep 0.2
    xdotool click 1
}

# The darkest grey (0-255) in the text of the open menu's Nth item: enabled
# items are written in the text colour, disabled ones greyed.
menu_item_ink()
{
    local file=$WORK/menu-item-$2.png
    import -window "$MENU" -crop "$((MENU_W - 16))x$((MENU_H / TRAY_MENU_ITEMS - 4))+8+$(( MENU_H * ($2 - 1) / TRAY_MENU_ITEMS + 2 ))" +repage "$file" 2>/dev/null \
        || e2e_fail "cannot take the menu's item $2"
    convert "$file" -colorspace gray -format '%[fx:int(255*minima)]' info: 2>/dev/null
}

# second_start ARGS...: a second start that must hand over: it ends with 0
# within SECS (default 15) and opens no window of its own. APP_PID stays the
# first instance's.
second_start()
{
    local first=$APP_PID secs=${SECOND_START_SECS:-15}
    start_app "$@"
    SECOND_PID=$APP_PID
    wait_for "$secs" '! app_running' || { APP_PID=$first; OTHER_PIDS+=("$SECOND_PID"); e2e_fail "the second start did not end within $secs s"; }
    wait "$SECOND_PID" 2>/dev/null
    local rc=$?
    APP_PID=$first
    [ "$rc" -eq 0 ] || e2e_fail "the second start ended with $rc"
}

# The window is mapped, and the active one (the window manager's focus).
expect_foreground()
{
    local w=$1 active
    wait_for 5 '[ "$(xdotool getactivewindow 2>/dev/null)" = "$w" ]' \
        || e2e_fail "$2: the window is not in the foreground (active: $(xdotool getactivewindow 2>/dev/null))"
}

# Running and not yet a zombie (a finished child stays one until waited for).
pid_running() { [ -n "$1" ] && [ -r "/proc/$1/stat" ] && ! awk '{exit ($3 != "Z")}' "/proc/$1/stat" 2>/dev/null; }
app_running() { pid_running "$APP_PID"; }
wait_app_exit()
{
    wait_for "${1:-10}" '! app_running' || return 1
    wait "$APP_PID" 2>/dev/null
    APP_RC=$?
    return 0
}
