#!/usr/bin/env bash
# The whole update of the demo under Wine against the same work done bare, in one run.
#
#   updater  CorvaneApp v1 installed and running with its helper (CorvaneHelper.exe from
#            the same folder), updater.exe in its upd sub-folder; from the start of
#            `updater.exe URL MD5` until v2 has recorded its start (download over HTTPS from
#            nginx on loopback, digest check, elevated restart, protected copy, v1 and its
#            helper asked to close, installer, relaunch)
#   service  the same, with the update service registered as the application's installer
#            registers it: the first run hands the installer to the service, which installs
#            it with no elevated run; the application is under Program Files for both
#   bare     v1 installed; from the start of `curl` on the same URL until v2 has recorded
#            its start: curl, md5sum, the v2 installer with "/S /D=<folder>" under Wine,
#            v2 started under Wine
#
# Untimed between rounds: v1 reinstalled, the update folder emptied, the applications
# ended. Each round prints its steps as seen from here (process starts and ends polled
# every 50 ms); the end prints the medians, their ratio (target at most 1.3) and where
# the difference goes. The updater and the v2 installer are signed by one publisher made
# for the run (tests/fixtures/code_signers.py), so the updater checks the installer's
# signature in both runs; publisher_bench then times those checks on the same installer
# next to each run's own work on it (the digests, the checked copy). Then the folder
# snapshot that the elevated run takes before the installer runs and removes afterwards,
# on its own (snapshot_bench): on the demo's folder (v1 with the updater) and on a folder
# of 2,000 small files, each against CopyFileW over the same tree; target: taking and
# removing it on the demo's folder adds at most 0.3 s. Then closing what holds the folder on
# its own (close_bench): the application asked to close, with and without its helper, and one
# that ignores the request, against the kill of the application alone that the elevated run
# did before; targets: asking adds at most 0.2 s, and the whole wait for a program that
# ignores the request stays under 6 s. The updater of the runs is updater-timed.exe, the
# program built to log its times to the millisecond and a line after each install step:
# each round also prints where the elevated run's time goes, from its log, and the end
# their medians. BENCH_ROUNDS rounds of each
# (default 3). UPDATE_BENCH_BUILD is the Windows build folder (default build/windows,
# built when its files are missing); the Wine prefix is made fresh in
# build/bench-update/wineprefix by scripts/with-wine, which also stops Wine and the display
# at the end.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${UPDATE_BENCH_BUILD:-$root/build/windows}
rounds=${BENCH_ROUNDS:-3}
work=$root/build/bench-update

if [ "${1:-}" != "--inside" ]; then
    for file in updater.exe updater-timed.exe publisher_bench.exe snapshot_bench.exe close_bench.exe \
        e2e/CorvaneApp-v1-setup.exe e2e/CorvaneApp-v2-setup.exe; do
        [ -f "$build/$file" ] && continue
        { cmake --preset windows -B "$build" >/dev/null &&
            cmake --build "$build" --target updater updater_timed publisher_bench snapshot_bench close_bench corvane_installers >/dev/null; } ||
            { echo "update bench: the Windows build failed" >&2; exit 1; }
        break
    done
    mkdir -p "$work"
    export WINEPREFIX=$work/wineprefix
    exec "$root/scripts/with-wine" "$0" --inside
fi

unset CORVANE_SETUP_PAUSE_MS CORVANE_SETUP_FAIL
wine=/usr/lib/wine/wine64
# Under Program Files, where the update service installs too.
app_win='C:\Program Files\CorvaneApp'
app_unix="$WINEPREFIX/drive_c/Program Files/CorvaneApp"
service_log="$WINEPREFIX/drive_c/Program Files/Corvane/UpdateService/update.log"
elevated_log=$WINEPREFIX/drive_c/ProgramData/Corvane/Updater/update.log
servers=$work/servers
signing=$work/signing
small_win='C:\corvane\small'
small_unix=$WINEPREFIX/drive_c/corvane/small
bare=$work/bare
poller=
cleanup() {
    [ -z "$poller" ] || kill "$poller" 2>/dev/null
    python3 "$root/tests/fixtures/http_servers.py" stop "$servers" >/dev/null 2>&1
    rm -rf "$bare" "$servers" "$signing" "$work/v1-setup.exe" "$small_unix"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

now() { date +%s.%N; }
# seconds from $1 to $2, "-" when either is unknown
span() { awk -v a="${1:-}" -v b="${2:-}" 'BEGIN { if (a == "" || b == "") print "-"; else printf "%.2f", b - a }'; }
has_version() { grep -q "^version=$1\$" "$app_unix/CorvaneApp.state" 2>/dev/null; }
running() { ps -eo args= | grep -F "$1" | grep -vq grep; }

wait_until() { # tenths of a second, then a command
    local tenths=$1
    shift
    for _ in $(seq "$tenths"); do "$@" && return 0; sleep 0.1; done
    return 1
}

# Ends the stand-in application and any updater left, then waits until they are gone.
end_applications() {
    $wine taskkill /f /im CorvaneApp.exe >/dev/null 2>&1
    $wine taskkill /f /im CorvaneHelper.exe >/dev/null 2>&1
    $wine taskkill /f /im updater.exe >/dev/null 2>&1
    wait_until 100 sh -c "! ps -eo args= | grep -E 'Corvane(App|Helper)\\.exe|updater(\\.old)?\\.exe' | grep -vq grep"
}

# v1 installed afresh into $app_win with nothing of an earlier round left.
fresh_v1() {
    end_applications
    rm -f "$app_unix/CorvaneApp.state" "$app_unix/CorvaneHelper.state"
    rm -rf "$WINEPREFIX"/drive_c/users/*/AppData/Roaming/CorvaneApp/update
    $wine "$root/build/bench-update/v1-setup.exe" /S "/D=$app_win" >/dev/null 2>&1 ||
        { echo "update bench: the v1 installer failed" >&2; exit 1; }
}

start_app() { # the program's name, CorvaneApp.exe by default
    (cd "$app_unix" && exec $wine "$app_win\\${1:-CorvaneApp.exe}" >/dev/null 2>&1 </dev/null) &
}

# v1 installed afresh with the signed updater in its upd folder, running with its helper.
v1_running_with_updater() {
    fresh_v1
    mkdir -p "$app_unix/upd"
    rm -f "$app_unix/upd/updater.old.exe"
    cp "$signing/updater.exe" "$app_unix/upd/"
    start_app
    start_app CorvaneHelper.exe
    wait_until 200 has_version 1 || { echo "update bench: v1 did not start" >&2; exit 1; }
    wait_until 200 grep -q '^version=1$' "$app_unix/CorvaneHelper.state" ||
        { echo "update bench: the v1 helper did not start" >&2; exit 1; }
}

# Records, every 50 ms, the first sight of the elevated run, of the installer, the
# installer's end and v2's start into $1 ("<event> <time>" lines), until v2 started.
poll_steps() {
    local log=$1 seen_elevated= seen_installer= installer_gone=
    for _ in $(seq 6000); do
        local t
        t=$(now)
        local args
        args=$(ps -eo args=)
        if [ -z "$seen_elevated" ] && grep -q '5D3A81E4-7B2C-4F19-A6D0-93E47C1B2F58' <<<"$args"; then
            seen_elevated=1
            echo "elevated $t" >>"$log"
        fi
        if grep -qF "/S /D=$app_win" <<<"$args"; then
            [ -n "$seen_installer" ] || echo "installer $t" >>"$log"
            seen_installer=1
        elif [ -n "$seen_installer" ] && [ -z "$installer_gone" ]; then
            installer_gone=1
            echo "installer_end $t" >>"$log"
        fi
        if has_version 2; then
            echo "v2 $t" >>"$log"
            return
        fi
        sleep 0.05
    done
}
event() { sed -n "s/^$1 //p" "$2" | head -n 1; }

# The elevated run's steps, from the millisecond times of its log: the time of the first
# line that holds $1, in seconds since 1970 (empty when there is none).
log_time() {
    local line
    line=$(grep -m 1 -F -- "$1" "$elevated_log") || return 0
    date -d "${line:0:23}" +%s.%N
}
# After each step of the install phase the timed build logs "Step <n> done.", n counting
# the install phase's steps from 0 (run_install_phase's table): 0 the installer's path,
# 1 the updater's own path, 2 the install folder, 3 abandoned copies, 4 the checked copy,
# whose signature is checked on a thread from there, 5 to 7 the TEMP folder, the backup's
# name and the staged copy, 8 the wait for the signature, 9 the version, 10 the rename,
# 11 closing the application, 12 and 13 the snapshot.
elevated_step_names="start lock window own_path find_folder abandoned checked_copy staged signature version rename close snapshot to_installer"
elevated_steps() { # the elevated run's time seen by the poller, then its installer's start
    local marks=("$1" "$(log_time '): Build ')" "$(log_time '): path changed')")
    local step
    for step in 0 1 2 3 4 7 8 9 10 11 13; do marks+=("$(log_time "): Step $step done.")"); done
    marks+=("$2")
    local spans=() i
    for ((i = 1; i < ${#marks[@]}; i++)); do spans+=("$(span "${marks[i - 1]}" "${marks[i]}")"); done
    echo "${spans[*]}"
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# The updater as a release ships it, stripped, and so its stand-in publisher_bench: the
# test build's debug information (13 of updater.exe's 17 MiB) would be hashed at every
# check of its signature, which a user never pays.
x86_64-w64-mingw32-strip -o "$work/updater-timed.exe" "$build/updater-timed.exe" || exit 1
# The signers' maker signs the renewed updater it finds beside the one it is given, too.
ln -sf "$build/updater-renewed.exe" "$work/updater-renewed.exe"
python3 "$root/tests/fixtures/code_signers.py" make "$signing" "$root/scripts/sign" \
    "$work/updater-timed.exe" "$build/e2e/CorvaneApp-v2-setup.exe" || exit 1
x86_64-w64-mingw32-strip -o "$signing/publisher_bench.exe" "$build/publisher_bench.exe" || exit 1
"$root/scripts/sign" --no-timestamp "$signing/publisher.key" "$signing/publisher-chain.crt" \
    "$signing/publisher_bench.exe" || exit 1
python3 "$root/tests/fixtures/http_servers.py" start "$servers" >/dev/null || exit 1
cp "$signing/setup-publisher.exe" "$servers/www/CorvaneApp-v2-setup.exe"
cp "$build/e2e/CorvaneApp-v1-setup.exe" "$work/v1-setup.exe"
https_port=$(sed -n 's/^https_port=//p' "$servers/servers.env")
url="https://127.0.0.1:$https_port/CorvaneApp-v2-setup.exe"
md5=$(md5sum "$servers/www/CorvaneApp-v2-setup.exe" | cut -d' ' -f1)
size_mib=$(($(stat -c %s "$servers/www/CorvaneApp-v2-setup.exe") / 1048576))
echo "update bench: $size_mib MiB installer over HTTPS from nginx on loopback, $rounds rounds each"
echo "cpu: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1) ($(nproc) cores)"

results=$work/results
rm -f "$results" "$work/elevated-steps"
for round in $(seq "$rounds"); do
    # --- the updater
    v1_running_with_updater
    steps=$work/steps.txt
    rm -f "$steps" "$app_unix/update.log" "$elevated_log"
    poll_steps "$steps" &
    poller=$!
    t0=$(now)
    (cd "$app_unix" && exec $wine "$app_win\\upd\\updater.exe" "$url" "$md5" >"$work/updater-out.txt" 2>&1 </dev/null)
    code=$?
    t_first=$(now)
    wait "$poller"
    poller=
    t_v2=$(event v2 "$steps")
    # Each run checks the signature once: the first in its log in the application's
    # folder, the elevated one in its log in the program-data folder.
    [ "$code" -eq 0 ] && [ -n "$t_v2" ] &&
        [ "$(cat "$app_unix/update.log" "$elevated_log" 2>/dev/null | grep -c ' is signed by the publisher\.')" -eq 2 ] ||
        { echo "update bench: the update failed (exit $code)" >&2; tail -n 5 "$app_unix/update.log" "$elevated_log" >&2; exit 1; }
    wait_until 600 sh -c "! ps -eo args= | grep -q '5D3A81E4-7B2C-4F19-A6D0-93E47C1B2F58'"
    # Kept for a look at the lines between the steps.
    cp "$elevated_log" "$work/elevated-round$round.log"
    u_total=$(span "$t0" "$t_v2")
    u_download=$(span "$t0" "$t_first")
    u_restart=$(span "$t0" "$(event elevated "$steps")")
    u_before=$(span "$(event elevated "$steps")" "$(event installer "$steps")")
    u_installer=$(span "$(event installer "$steps")" "$(event installer_end "$steps")")
    u_relaunch=$(span "$(event installer_end "$steps")" "$t_v2")
    printf 'round %d updater %6ss: first run %ss (elevated run seen at %ss), elevated run to installer %ss, installer %ss, installer end to v2 %ss\n' \
        "$round" "$u_total" "$u_download" "$u_restart" "$u_before" "$u_installer" "$u_relaunch"
    elevated=$(elevated_steps "$(event elevated "$steps")" "$(event installer "$steps")")
    echo "$elevated" >>"$work/elevated-steps"
    paste -d= <(tr ' ' '\n' <<<"$elevated_step_names") <(tr ' ' '\n' <<<"$elevated") |
        tr '\n' ' ' | sed 's/^/        elevated run, s: /; s/ $/\n/'

    # --- the updater through the update service, registered as the application's installer
    # registers it: no elevated run
    v1_running_with_updater
    $wine "$signing/updater.exe" --register-service >/dev/null 2>&1 ||
        { echo "update bench: the service was not registered" >&2; exit 1; }
    rm -f "$steps" "$app_unix/update.log" "$elevated_log" "$service_log"
    poll_steps "$steps" &
    poller=$!
    t0=$(now)
    (cd "$app_unix" && exec $wine "$app_win\\upd\\updater.exe" "$url" "$md5" >"$work/updater-out.txt" 2>&1 </dev/null)
    code=$?
    wait "$poller"
    poller=
    t_v2=$(event v2 "$steps")
    [ "$code" -eq 0 ] && [ -n "$t_v2" ] && [ ! -e "$elevated_log" ] &&
        [ "$(cat "$app_unix/update.log" "$service_log" 2>/dev/null | grep -c ' is signed by the publisher\.')" -eq 2 ] ||
        { echo "update bench: the update through the service failed (exit $code)" >&2; tail -n 5 "$app_unix/update.log" "$service_log" "$elevated_log" >&2; exit 1; }
    $wine "$signing/updater.exe" --unregister-service >/dev/null 2>&1
    s_total=$(span "$t0" "$t_v2")
    printf 'round %d service %6ss: installer %ss, installer end to v2 %ss\n' "$round" "$s_total" \
        "$(span "$(event installer "$steps")" "$(event installer_end "$steps")")" \
        "$(span "$(event installer_end "$steps")" "$t_v2")"

    # --- bare
    fresh_v1
    rm -rf "$bare"
    mkdir -p "$bare"
    # The same polling runs beside the bare sequence, for the same load.
    rm -f "$steps"
    poll_steps "$steps" &
    poller=$!
    t0=$(now)
    curl -sSk -o "$bare/CorvaneApp-v2-setup.exe" "$url" || { echo "update bench: curl failed" >&2; exit 1; }
    t1=$(now)
    [ "$(md5sum "$bare/CorvaneApp-v2-setup.exe" | cut -d' ' -f1)" = "$md5" ] ||
        { echo "update bench: curl's copy has another digest" >&2; exit 1; }
    t2=$(now)
    $wine "$bare/CorvaneApp-v2-setup.exe" /S "/D=$app_win" >/dev/null 2>&1 ||
        { echo "update bench: the v2 installer failed" >&2; exit 1; }
    t3=$(now)
    start_app
    wait_until 600 has_version 2 || { echo "update bench: v2 did not start" >&2; exit 1; }
    t4=$(now)
    wait "$poller"
    poller=
    b_total=$(span "$t0" "$t4")
    printf 'round %d bare    %6ss: curl %ss, md5sum %ss, installer %ss, v2 start %ss\n' \
        "$round" "$b_total" "$(span "$t0" "$t1")" "$(span "$t1" "$t2")" "$(span "$t2" "$t3")" "$(span "$t3" "$t4")"
    echo "$u_total $b_total $u_download $(span "$t0" "$t2") $u_installer $(span "$t2" "$t3") $u_relaunch $(span "$t3" "$t4") $u_before $s_total" >>"$results"
done
end_applications

col() { cut -d' ' -f"$1" "$results" | grep -v '^-$' | median; }
u=$(col 1)
b=$(col 2)
echo
echo "median updater ${u}s, bare ${b}s, ratio $(awk -v u="$u" -v b="$b" 'BEGIN { printf "%.2f", u / b }') (target <= 1.3)"
s=$(col 10)
echo "median updater through the update service ${s}s, ratio $(awk -v u="$s" -v b="$b" 'BEGIN { printf "%.2f", u / b }') to bare"
echo "where it goes (median updater vs bare):"
echo "  fetch and check:    first run $(col 3)s vs curl + md5sum $(col 4)s"
echo "  elevated run to installer start (protected copy, rename, v1 and its helper closed): $(col 9)s (bare: none)"
i=0
for name in $elevated_step_names; do
    i=$((i + 1))
    printf '    %-13s %ss\n' "$name" "$(cut -d' ' -f"$i" "$work/elevated-steps" | grep -v '^-$' | median)"
done
echo "  installer:          $(col 5)s vs $(col 6)s"
echo "  installer end to v2 started: $(col 7)s vs $(col 8)s"

# The signature checks on the same installer, in a program signed like the updater, next
# to each run's own work on the file; each run of an update loads the code-signing
# libraries (and, under Wine, the machine's roots) afresh, so the first round's figure is
# the one an update pays. It is one sample per process: the median of BENCH_ROUNDS
# processes of each run counts.
installer_win="Z:$(tr / '\\' <<<"$servers/www/CorvaneApp-v2-setup.exe")"
added=0
for run in first elevated; do
    firsts=
    for _ in $(seq "$rounds"); do
        checks=$($wine "$signing/publisher_bench.exe" "$run" "$installer_win" "$md5" 5 2>&1 | tr -d '\r') ||
            { echo "update bench: publisher_bench failed: $checks" >&2; exit 1; }
        echo "$checks"
        firsts="$firsts $(sed -n 's/.* add \([0-9]*\) ms in the first round.*/\1/p' <<<"$checks")"
    done
    added=$((added + $(tr ' ' '\n' <<<"$firsts" | grep . | median | cut -d. -f1)))
done
echo "signature checks per update: $added ms = $(awk -v c="$added" -v u="$u" 'BEGIN { printf "%.2f s added to the median %.2f s update", c / 1000, u }') (target <= 0.3 s)"

# --- the folder snapshot on its own
fresh_v1
mkdir -p "$app_unix/upd"
cp "$build/updater.exe" "$app_unix/upd/"
end_applications
echo
$wine "$build/snapshot_bench.exe" "$app_win" "$rounds" 2>&1 | tr -d '\r'
# 2,000 files of 1 to 16 KiB in 40 folders.
python3 - "$small_unix" <<'PY'
import os, random, sys
random.seed(7)
for i in range(2000):
    folder = os.path.join(sys.argv[1], "dir%02d" % (i % 40))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "file%04d.dat" % i), "wb") as out:
        out.write(random.randbytes(random.randint(1024, 16384)))
PY
$wine "$build/snapshot_bench.exe" "$small_win" "$rounds" 2>&1 | tr -d '\r'

# --- closing what holds the folder, on its own
fresh_v1
echo
$wine "$build/close_bench.exe" "$app_win" "$rounds" 2>&1 | tr -d '\r'
