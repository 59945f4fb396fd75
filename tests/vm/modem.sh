#!/usr/bin/env bash
# A simulated AT modem on its standard input (a pseudo-terminal that socat
# joins to the subscriber's port). It answers OK to everything, CONNECT to a
# dial, and then hands the line to the operator's pppd in the operator's
# network namespace, which answers the subscriber's pppd from there.
#   modem.sh PID_FILE OPTIONS_FILE   (the operator's pppd options, one a line)
pidfile=$1
mapfile -t options <"$2"
# A command ends with CR: the line turns it into a line end for read.
stty raw -echo icrnl 2>/dev/null
while IFS= read -r line; do
    line=${line//$'\r'/}
    echo "modem: $line" >&2
    case ${line^^} in
        ATD*)
            printf '\r\nCONNECT 115200\r\n'
            echo $$ >"$pidfile"
            exec ip netns exec operator /usr/sbin/pppd "${options[@]}"
            ;;
        AT*) printf '\r\nOK\r\n' ;;
    esac
done
