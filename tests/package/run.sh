#!/usr/bin/env bash
# The Debian package of this build: made by scripts/package, unpacked with
# dpkg -x into a throwaway folder, and run from there as an installed system
# would run it. Every tool it needs is installed by scripts/setup; a missing
# one fails the test instead of skipping it.
#   tests/package/run.sh BUILD_DIR
set -uo pipefail
build=$(realpath "${1:?BUILD_DIR}")
src=$(realpath "$(dirname "$0")/../..")

work=$(mktemp -d "${TMPDIR:-/tmp}/skyportal-pkgtest.XXXXXX")
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
cleanup() {
    # The service started from the unpacked tree is stopped before it goes.
    if [ -S "$work/root/run/rasman.sock" ]; then
        SKYPORTAL_ROOT=$work/root "$x/usr/bin/rasctl" service stop >/dev/null 2>&1
    fi
    [ -n "${app_pid:-}" ] && kill -KILL "$app_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

for tool in dpkg-deb dpkg-shlibdeps lintian desktop-file-validate appstreamcli man readelf objcopy; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
done

# scripts/package fails when lintian reports an error.
deb=$(bash "$src/scripts/package" --no-build "$build" "$work" 2>"$work/package.err" | tail -n1) \
    || { echo "FAIL: scripts/package:" >&2; grep -v "root privileges" "$work/package.err" >&2; exit 1; }
. "$build/packaging/package.env"
[ "$(basename "$deb")" = "skyportal_${VERSION}_$(dpkg --print-architecture).deb" ] || fail "package name $(basename "$deb")"
[ "$(dpkg-deb -f "$deb" Version)" = "$VERSION" ] || fail "Version $(dpkg-deb -f "$deb" Version)"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libqt6widgets6 libsqlite3-0; do
    [[ $depends == *"$lib "* || $depends == *"$lib," || $depends == *"$lib" ]] || fail "Depends lacks $lib: $depends"
done
[ "$(dpkg-deb -f "$deb" Recommends)" = "ppp, xdg-utils" ] || fail "Recommends: $(dpkg-deb -f "$deb" Recommends)"

x=$work/x
dpkg -x "$deb" "$x"
# No trace of the build left in what is installed.
env_clean=(env -u SKYPORTAL_BIN_DIR -u SKYPORTAL_RASAPI -u SKYPORTAL_RASMAN -u DISPLAY -u WAYLAND_DISPLAY
           -u QT_QPA_PLATFORM)

# The version in the package's name is the program's FileVersion.
filever=$(readelf -p .skyportal_version "$x/usr/bin/skyportal" | tr -d '\n' | sed -n 's/.*FileVersion=\([0-9.]*\).*/\1/p')
[ "$filever" = "$VERSION" ] || fail "the program's FileVersion is \"$filever\", the package's $VERSION"

# Every command answers --help and --version, and does nothing else: no
# window (there is no display), no machine root, no service.
commands=("$x"/usr/bin/* "$x/usr/lib/skyportal/rasman")
for cmd in "${commands[@]}"; do
    name=$(basename "$cmd")
    root=$work/untouched-$name
    out=$(SKYPORTAL_ROOT=$root "${env_clean[@]}" timeout 10 "$cmd" --version 2>&1) || fail "$name --version: exit $?"
    [ "$out" = "$name $VERSION" ] || fail "$name --version printed \"$out\""
    out=$(SKYPORTAL_ROOT=$root "${env_clean[@]}" timeout 10 "$cmd" --help 2>&1) || fail "$name --help: exit $?"
    grep -qi "usage" <<<"$out" || fail "$name --help printed no usage: $out"
    [ ! -e "$root" ] || fail "$name --help/--version made the machine root"
    if [ "$(dirname "$cmd")" = "$x/usr/bin" ]; then
        page=$x/usr/share/man/man1/$name.1.gz
        [ -f "$page" ] || { fail "no manual page for $name"; continue; }
        warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "$name.1: $warnings"
    fi
done
[ -x "$x/usr/bin/skyportal" ] && [ -x "$x/usr/bin/rasctl" ] || fail "skyportal or rasctl missing from usr/bin"
# So do the build's own helpers that a person may run from build/bin.
for name in fake-at-modem skyportal-gallery skyportal-screenshots skyportal-icon skin-painter; do
    [ -x "$build/bin/$name" ] || continue
    out=$("${env_clean[@]}" timeout 10 "$build/bin/$name" --version 2>&1) && [ "$out" = "$name $VERSION" ] \
        || fail "$name --version: $out"
    "${env_clean[@]}" timeout 10 "$build/bin/$name" --help 2>&1 | grep -q "usage" || fail "$name --help"
done

# rasctl on a fresh machine root starts the service of the installed tree.
export SKYPORTAL_ROOT=$work/root
out=$("${env_clean[@]}" timeout 30 "$x/usr/bin/rasctl" devices 2>&1) || fail "rasctl devices: exit $? $out"
service=$(readlink "/proc/$(cat "$SKYPORTAL_ROOT/run/rasman.pid" 2>/dev/null)/exe" 2>/dev/null)
[ "$service" = "$x/usr/lib/skyportal/rasman" ] || fail "rasctl started the service \"$service\""
"$x/usr/bin/rasctl" service stop >/dev/null 2>&1

# The program finds its library by its run path and the service beside it.
logdir=$x/usr/bin
"${env_clean[@]}" QT_QPA_PLATFORM=offscreen "$x/usr/bin/skyportal" /l /n >"$work/app.out" 2>&1 &
app_pid=$!
for _ in $(seq 300); do
    grep -q "src: WINVER" "$logdir/GPRSlog.log" 2>/dev/null && [ -S "$SKYPORTAL_ROOT/run/rasman.sock" ] && break
    sleep 0.1
done
grep -q "src: WINVER" "$logdir/GPRSlog.log" 2>/dev/null || fail "the installed program did not start: $(cat "$work/app.out")"
if grep -q "RAS-\|code: 888" "$logdir/GPRSlog.log" 2>/dev/null; then
    fail "the installed program's remote access failed: $(grep "RAS-\|code: 888" "$logdir/GPRSlog.log")"
fi
service=$(readlink "/proc/$(cat "$SKYPORTAL_ROOT/run/rasman.pid" 2>/dev/null)/exe" 2>/dev/null)
[ "$service" = "$x/usr/lib/skyportal/rasman" ] || fail "the program started the service \"$service\""
grep -q "skyportal/libskyportal-rasapi.so" "/proc/$app_pid/maps" 2>/dev/null \
    && lib=$(grep -o "/.*libskyportal-rasapi.so" "/proc/$app_pid/maps" | head -n1)
[ "${lib:-}" = "$x/usr/lib/skyportal/libskyportal-rasapi.so" ] || fail "the program loaded the library \"${lib:-}\""
kill -TERM "$app_pid" 2>/dev/null; wait "$app_pid" 2>/dev/null; app_pid=""

# An ordinary user cannot write usr/bin: the event log goes to the machine
# root instead, the program says where once, and the support report finds it.
userroot=$work/user-root
rm -f "$logdir/GPRSlog.log"
if [ "$(id -u)" -eq 0 ]; then
    runas=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    install -d -o 65534 -g 65534 -m 0700 "$userroot"
    chmod 0755 "$work"
else
    runas=()
    mkdir -m 0700 "$userroot"
    chmod a-w "$logdir"
fi
(cd / && SKYPORTAL_ROOT=$userroot HOME=$userroot "${runas[@]}" "${env_clean[@]}" QT_QPA_PLATFORM=offscreen \
    "$x/usr/bin/skyportal" /l /n >"$userroot.out" 2>&1) &
app_pid=$!
for _ in $(seq 300); do
    grep -q "src: WINVER" "$userroot/GPRSlog.log" 2>/dev/null && break
    sleep 0.1
done
grep -q "src: WINVER" "$userroot/GPRSlog.log" 2>/dev/null \
    || fail "an ordinary user's log is not in the machine root: $(cat "$userroot.out")"
[ ! -e "$logdir/GPRSlog.log" ] || fail "an ordinary user's program wrote beside itself"
grep -qF "the event log goes to $userroot/GPRSlog.log" "$userroot.out" \
    || fail "the program did not say where its log went: $(cat "$userroot.out")"
pkill -TERM -P "$app_pid" 2>/dev/null; kill -TERM "$app_pid" 2>/dev/null; wait "$app_pid" 2>/dev/null; app_pid=""
SKYPORTAL_ROOT=$userroot HOME=$userroot "${runas[@]}" "$x/usr/bin/rasctl" service stop >/dev/null 2>&1
SKYPORTAL_ROOT=$userroot HOME=$userroot "${runas[@]}" "${env_clean[@]}" timeout 60 "$x/usr/bin/skyportal-report" \
    --output "$userroot/report.tar.gz" >/dev/null 2>"$userroot.err" || fail "skyportal-report: $(cat "$userroot.err")"
members=$(tar -tzf "$userroot/report.tar.gz" 2>&1)
grep -q "/machine-root-GPRSlog.log$" <<<"$members" || fail "the support report lacks the machine root's log: $members"
[ -w "$logdir" ] || chmod u+w "$logdir"

# What the desktop and the software centres read.
out=$(desktop-file-validate "$x/usr/share/applications/skyportal.desktop" 2>&1) && [ -z "$out" ] \
    || fail "desktop-file-validate: $out"
out=$(appstreamcli validate --no-net --explain "$x"/usr/share/metainfo/ru.zentora.skyportal.metainfo.xml 2>&1) \
    || fail "appstreamcli validate: $out"
for size in 16 22 24 32 48 64 128 256; do
    [ -f "$x/usr/share/icons/hicolor/${size}x${size}/apps/skyportal.png" ] || fail "no ${size}x${size} icon"
done
[ -f "$x/usr/share/doc/skyportal/copyright" ] || fail "no copyright file"

[ "$failures" -eq 0 ] || exit 1
echo "package $(basename "$deb"): $(ls "$x/usr/bin" | wc -l) commands, service and library found from the unpacked tree"
