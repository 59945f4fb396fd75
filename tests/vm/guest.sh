#!/usr/bin/env bash
# Inside the virtual machine (the first process, as root): the package is
# installed with dpkg, an ordinary user in dialout and dip dials the
# operator with the real program on a simulated serial modem, and every
# check writes one "PASS name: what was seen" or "FAIL name: ..." line to
# /vmshare/results. The operator is a pppd in its own network namespace with
# a DNS server (dnsmasq) and the update server (nginx with server/'s
# configuration) behind it. The machine powers off at the end.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8
SHARE=/vmshare
SRC=$(cd "$(dirname "$0")/../.." && pwd)
exec >"$SHARE/guest.log" 2>&1
set -uo pipefail

mount -t proc proc /proc
mount -t sysfs sys /sys
mkdir -p /dev/pts /dev/shm
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts /dev/pts
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
mount -t tmpfs -o mode=0755 tmpfs /run
mkdir -m 1777 /run/lock
mkdir -p /run/netns
mount -t tmpfs -o mode=1777 tmpfs /tmp
hostname skyportal-vm
ip link set lo up

RESULTS=$SHARE/results
: >"$RESULTS"
T0=$(date +%s%N)
elapsed() { echo $(( ($(date +%s%N) - T0) / 1000000 )) | awk '{printf "%.1f", $1 / 1000}'; }
say() { echo "[$(elapsed)s] $*"; }
pass() { say "PASS $1: $2"; echo "PASS $1: $2" >>"$RESULTS"; }
fail() { say "FAIL $1: $2"; echo "FAIL $1: $2" >>"$RESULTS"; }
check() { local name=$1 what=$2; shift 2; if "$@"; then pass "$name" "$what"; else fail "$name" "$what"; fi; }
finish()
{
    say "done"
    cp /home/subscriber/.local/share/skyportal/run/rasman.log "$SHARE/rasman.log" 2>/dev/null
    cp /srv/operator/logs/access.log "$SHARE/access.log" 2>/dev/null
    local c
    for c in package link-up default-route dns listing update-check download program-statistics lost-link \
             history event-log no-pppd dns-restored routes-restored; do
        grep -q "^[A-Z]* $c:" "$RESULTS" || echo "FAIL $c: not reached" >>"$RESULTS"
    done
    echo "END" >>"$RESULTS"
    sync
    echo o >/proc/sysrq-trigger
    sleep 60
}
trap finish EXIT

# The kernel's ppp, as a desktop loads it on demand.
say "guest up"
modprobe ppp_async
modprobe dummy
# A laptop on Wi-Fi: the machine has a default route and a DNS server of its own.
ip link add wifi0 type dummy
ip addr add 192.168.77.2/24 dev wifi0
ip link set wifi0 up
ip route add default via 192.168.77.1
printf 'nameserver 192.168.77.1\n' >/etc/resolv.conf
cp /etc/resolv.conf /tmp/resolv.before
ip route show >/tmp/routes.before

# The package, as a subscriber installs it (the manual index is not rebuilt here).
rm -f /var/lib/man-db/auto-update
say "dpkg's database"
mount -t tmpfs -o mode=0755 tmpfs /var/lib/dpkg
tar -C / -xf "$SHARE/dpkg-db.tar"
say "installing $(basename "$SHARE"/skyportal_*.deb)"
# The other packages' triggers (the icon cache, the manual index) are left
# pending: under emulation they take longer than the rest of the test.
dpkg -i --no-triggers "$SHARE"/skyportal_*.deb 2>&1 | while IFS= read -r l; do say "dpkg: $l"; done
dpkg-query -W -f='${Status}' skyportal | grep -q "install ok installed" || { fail package "dpkg -i failed"; exit 1; }
peers=$(stat -c '%U:%G %a' /etc/ppp/peers/skyportal /etc/ppp/peers/skyportal-defaultroute | sort -u | tr '\n' ' ')
check package "installed with dpkg: $(dpkg-query -W -f='${Package} ${Version}' skyportal); pppd's options for the dials $peers" \
    [ "$peers" = "root:dip 640 " ]
useradd -m -s /bin/bash -G dialout,dip subscriber
as_user()
{
    runuser -u subscriber -- env -i PATH=/usr/bin:/bin HOME=/home/subscriber LANG=C.UTF-8 \
        DISPLAY="${DISPLAY:-}" XDG_RUNTIME_DIR=/tmp/xdg-subscriber QT_QPA_PLATFORM=xcb "$@"
}
mkdir -m 0700 /tmp/xdg-subscriber && chown subscriber: /tmp/xdg-subscriber

# The operator: its pppd, DNS server and update server in a namespace of their own.
ip netns add operator
ip -n operator link set lo up
ip -n operator link add svc0 type dummy
ip -n operator addr add 10.99.0.53/24 dev svc0
ip -n operator addr add 10.99.0.80/24 dev svc0
ip -n operator link set svc0 up
ip netns exec operator dnsmasq --no-resolv --no-hosts --bind-interfaces --listen-address=10.99.0.53 \
    --address=/update.zentora.example/10.99.0.80 --address=/portal.operator.example/10.99.0.80 \
    --log-queries --log-facility="$SHARE/dnsmasq.log" --pid-file=/run/dnsmasq.pid
mkdir -p /srv/operator
cp -r "$SRC/server/." /srv/operator/
mkdir -p /srv/operator/logs /srv/operator/temp
rm -f /srv/operator/logs/* 
head -c $((1536 * 1024)) /dev/urandom >/srv/operator/www/big.bin
# The access log with the time to the millisecond, and one big file to fetch.
sed -i -e 's|^\( *\)access_log logs/access.log;|\1log_format timed '\''$remote_addr $msec "$request" $status $body_bytes_sent'\'';\n\1access_log logs/access.log timed;|' \
    -e 's|^\( *\)location / {|\1location = /big.bin { }\n\1location / {|' /srv/operator/nginx.conf
ip netns exec operator nginx -p /srv/operator/ -c nginx.conf || fail update-server "nginx did not start"

# The modem: the subscriber's port is a pseudo-terminal of the group dialout,
# as a real serial port is; the far end is the modem, then the operator.
OPERATOR_PPPD=(nodetach noauth local 10.64.0.1:10.64.0.2 ms-dns 10.99.0.53 nodefaultroute
               lcp-echo-interval 0 ipparam operator logfile "$SHARE/operator-pppd.log")
printf '%s\n' "${OPERATOR_PPPD[@]}" >/run/operator-pppd.options
socat PTY,link=/dev/ttySKY0,raw,echo=0,group=dialout,perm=0660 \
    EXEC:"bash $SRC/tests/vm/modem.sh /run/operator-pppd.pid /run/operator-pppd.options",pty,raw,echo=0,setsid,ctty \
    2>"$SHARE/modem.log" &
SOCAT_PID=$!
for _ in $(seq 50); do [ -e /dev/ttySKY0 ] && break; sleep 0.1; done
# The port stays open on this side too, so that no close of it ends socat.
exec 9<>/dev/ttySKY0

# A desktop: Xvfb and openbox; the end-to-end suite's helpers drive it.
E2E_T0=$(( T0 / 1000000 ))
WORK=/tmp/e2e
OUT=$SHARE/shots
mkdir -p "$WORK" "$OUT"
SHOT_N=0
. "$SRC/tests/e2e/lib.sh"
set +e
e2e_fail() { fail desktop "$*"; exit 1; }
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WORK/display" >"$WORK/xvfb.log" 2>&1 &
wait_for 60 '[ -s "$WORK/display" ]' || { fail desktop "the X server did not start"; exit 1; }
export DISPLAY=:$(head -n1 "$WORK/display")
openbox --sm-disable >"$WORK/openbox.log" 2>&1 &
wait_for 60 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"' || { fail desktop "openbox did not start"; exit 1; }
say "display $DISPLAY with openbox"

# The subscriber's own steps: the modem, the program's choice of it, the program.
as_user rasctl add-modem "My Phone" /dev/ttySKY0 >/dev/null || fail add-modem "rasctl add-modem failed"
key='HKLM\Software\Zentora\Skyportal'
as_user skyportal-reg add "$key" /v Modem /t REG_SZ /d "$(as_user skyportal-cipher encrypt "My Phone")" /f >/dev/null
as_user skyportal-reg add "$key" /v StartStage /t REG_SZ /d "$(as_user skyportal-cipher encrypt 2)" /f >/dev/null
say "starting the program as $(as_user id)"
as_user bash -c 'cd && exec skyportal /l /n' >"$SHARE/program.log" 2>&1 &
APP_PID=$!
w=$(main_window 90) || { fail program "no main window"; exit 1; }
sleep 1
shot main-page >/dev/null
crop "$w" "$STATUS_BOX" /tmp/status-before.png
user_connections() { as_user rasctl connections 2>/dev/null; }
svclog=/home/subscriber/.local/share/skyportal/run/rasman.log
# The moment of the connected state: the service writes "the link is up"
# just before it reports it.
( while ! grep -q "the link is up" "$svclog" 2>/dev/null; do sleep 0.05; done; date +%s.%N >/tmp/connected-at ) &
click "$w" "$CONNECT_X" "$CONNECT_Y"
say "pressed \"Подключиться\""
# Connected, or the dial's end in the service's log (a failure).
connected_at=""
deadline=$(( $(date +%s) + 90 ))
while [ "$(date +%s)" -lt "$deadline" ]; do
    if user_connections | awk -F'\t' '$4 == "8192"' | grep -q .; then connected_at=$(cat /tmp/connected-at); break; fi
    grep -qE ' \([0-9]{3}\)$' "$svclog" 2>/dev/null && break
    sleep 0.1
done
say "connections: $(user_connections | tr '\t' ' ')"
shot dialled >/dev/null

# 1. The link with the operator's address, and the program shows it.
local_ip=$(ip -4 -o addr show dev ppp0 2>/dev/null | awk '{print $4}')
peer=$(ip -4 -o addr show dev ppp0 2>/dev/null | awk '{print $6}')
if [ -n "$connected_at" ] && [ "$local_ip" = 10.64.0.2 ]; then
    sleep 1
    crop "$w" "$STATUS_BOX" /tmp/status-after.png
    n=$(differing_pixels /tmp/status-before.png /tmp/status-after.png)
    check link-up "ppp0 $local_ip peer $peer, the service connected, the status line changed ($n pixels)" [ "$n" -gt 20 ]
else
    fail link-up "no link (ppp0: \"$local_ip\"): $(user_connections | tr '\t' ' '); service log: $(tail -n 5 /home/subscriber/.local/share/skyportal/run/rasman.log | tr '\n' '|')"
    exit 1
fi
route=$(ip route show default | tr '\n' ' ')
check default-route "while up: $route" grep -q "dev ppp0" <<<"$route"

# 2. The operator's DNS.
sleep 0.5
dns=$(grep '^nameserver' /etc/resolv.conf | tr '\n' ' ')
addr=$(as_user getent hosts portal.operator.example | awk '{print $1}')
check dns "resolv.conf: $dns; portal.operator.example is \"$addr\"" \
    bash -c "[ '$addr' = 10.99.0.80 ] && grep -q 'query.*portal.operator.example from 10.64.0.2' '$SHARE/dnsmasq.log'"
listing=$(user_connections | head -n1 | tr '\t' ' ')
check listing "rasctl connections: $listing" grep -q "10.64.0.2.*10.99.0.53" <<<"$listing"

# 3. The program's update check after the dial, by name, over the link.
for _ in $(seq 150); do grep -q '^10.64.0.2 .*"GET /apn/ ' /srv/operator/logs/access.log 2>/dev/null && break; sleep 0.1; done
req=$(grep -m1 '^10.64.0.2 .*"GET /apn/ ' /srv/operator/logs/access.log)
if [ -n "$req" ]; then
    at=$(awk '{print $2}' <<<"$req")
    delay=$(awk -v a="$at" -v c="$connected_at" 'BEGIN {printf "%.1f", a - c}')
    check update-check "\"$req\", ${delay} s after the connected state" awk -v d="$delay" 'BEGIN {exit !(d <= 10)}'
else
    fail update-check "no request from 10.64.0.2 in the access log: $(tr '\n' '|' </srv/operator/logs/access.log)"
fi

# 4. A download over the link, as the program, the history and the kernel count it.
rx0=$(cat /sys/class/net/ppp0/statistics/rx_bytes)
svc0=$(user_connections | awk -F'\t' '$4 == "8192" {print $5; exit}')
as_user curl -s -o /tmp/big.bin --max-time 60 http://update.zentora.example/big.bin
got=$(stat -c %s /tmp/big.bin 2>/dev/null || echo 0)
sleep 3   # the service's and the program's next samples
rx1=$(cat /sys/class/net/ppp0/statistics/rx_bytes)
svc1=$(user_connections | awk -F'\t' '$4 == "8192" {print $5; exit}')
kernel=$((rx1 - rx0))
counted=$(( ${svc1:-0} - ${svc0:-0} ))
say "download $got bytes; kernel rx $rx0 -> $rx1; service $svc0 -> $svc1"
within() { awk -v a="$1" -v b="$2" 'BEGIN {d = a - b; if (d < 0) d = -d; exit !(b > 0 && d <= b * 0.03)}'; }
check download "$got bytes fetched; the kernel counted $kernel, the program's statistics $counted (session $svc1, kernel $rx1)" \
    bash -c "[ $got -ge 1048576 ] && [ $counted -gt 0 ] && awk -v a=$counted -v b=$kernel 'BEGIN {d = a - b; if (d < 0) d = -d; exit !(d <= b * 0.03)}'"

# The program's own statistics: its last sample in its event log, which the
# installed program cannot write beside itself and keeps in the machine root.
applog=/home/subscriber/.local/share/skyportal/GPRSlog.log
prog_rx=$(grep 'src: THREAD-new-stat' "$applog" 2>/dev/null | tail -n1 | sed -n 's/.* Received \([0-9]*\) .*/\1/p')
check program-statistics "the program's last sample: received ${prog_rx:-nothing}; the kernel $rx1" \
    within "${prog_rx:-0}" "$rx1"

# 5. The operator ends the link: the program notices and asks.
op=$(cat /run/operator-pppd.pid 2>/dev/null)
kill -TERM "$op" 2>/dev/null
b=$(wait_window "$BREAK_TITLE" 30)
shot lost-link >/dev/null
check lost-link "operator's pppd $op ended; the program asks \"$BREAK_TITLE\" (window ${b:-none})" [ -n "$b" ]
hist=$(as_user rasctl history sessions 1 --csv | tail -n1)
sess_rx=$(awk -F, '{print $(NF-2)}' <<<"$hist")
check history "the last session: $hist; the kernel counted $rx1 received" within "${sess_rx:-0}" "$rx1"

lines=$(grep -c ' : src: ' "$applog" 2>/dev/null)
check event-log "$applog: ${lines:-no} lines, $(grep -o 'src: [A-Za-z-]*' "$applog" 2>/dev/null | sort -u | tr '\n' ' ')" \
    bash -c "grep -q 'src: DIAL-params' '$applog' && grep -q 'src: THREAD-new-stat' '$applog' &&
             grep -qF 'the event log goes to $applog' '$SHARE/program.log'"

# 6. Nothing left, DNS and routes as before.
for _ in $(seq 100); do pgrep -x pppd >/dev/null || break; sleep 0.1; done
left=$(pgrep -a -x pppd)
check no-pppd "pppd processes left: \"${left}\"" [ -z "$left" ]
for _ in $(seq 50); do cmp -s /etc/resolv.conf /tmp/resolv.before && break; sleep 0.1; done
check dns-restored "resolv.conf: $(tr '\n' ' ' </etc/resolv.conf)" cmp -s /etc/resolv.conf /tmp/resolv.before
ip route show >/tmp/routes.after
check routes-restored "routes: $(tr '\n' ' ' </tmp/routes.after)" cmp -s /tmp/routes.after /tmp/routes.before
kill "$SOCAT_PID" 2>/dev/null
