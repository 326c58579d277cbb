#!/bin/bash
# Power cuts in the middle of an install. The production-sized installer runs
# in a 64-bit Windows (Wine) in the emulated guest, whose system folder is on
# a disk of its own that outlives the guest: ext4 with noauto_da_alloc, so
# that, as on NTFS, nothing but the installer's own flush puts a file's bytes
# on disk before the rename over its target does. The host kills qemu outright
# (the guest's page cache is lost, as in a power cut) at a moment drawn at
# random while the installer writes. The guest then starts again, the file
# system replays its journal, and each of the eleven targets must hold its old
# bytes or its payload's, nothing else; then a new run must exit 0, put every
# payload in place and leave no temporary file.
#
#   power_cut_test.sh <build folder>
#
# ORBEL_POWER_CUTS (default 10) cuts; ORBEL_POWER_CUT_SEED replays a run's draws.
set -u

# In the guest, once per start: scripts/guest-init runs this copy from the shared folder.
in_guest() {
    local io=/mnt/io boot name
    boot=$(cat "$io/boot")
    mkdir -p /power
    # commit=1: a rename reaches the journal on disk within a second, so that
    # cuts within the run meet renames made lasting while their files' bytes
    # may still be only in memory.
    mount -o noauto_da_alloc,commit=1 /dev/vdb /power || { echo "cannot mount the disk"; exit 1; }
    export WINEPREFIX=/power/prefix WINEDEBUG=-all WINEDLLOVERRIDES='msxml6=n;mscoree,mshtml='
    local drive=$WINEPREFIX/drive_c system=$WINEPREFIX/drive_c/windows/syswow64
    mapfile -t names < <(cut -c67- "$io/payload.sha256")
    if [ ! -e /power/ready ]; then
        WINEARCH=win64 wineboot -i >/dev/null 2>&1 && wineserver -w || { echo "cannot make the Windows"; exit 1; }
        cp "$io/setup.exe" "$io/stopwatch.exe" "$drive/"
        printf '"C:\\setup.exe"\n' >"$drive/command.txt"
        mkdir /power/old /power/registry
        cp "$WINEPREFIX"/*.reg /power/registry/
        # Old versions of their own, none of a payload's size.
        local i=0
        for name in "${names[@]}"; do
            yes "old $name" | head -c $((1000000 + 4099 * i)) >"/power/old/$name"
            i=$((i + 1))
        done
        (cd /power/old && sha256sum -- "${names[@]}") >/power/old.sha256
        sync
        touch /power/ready
        sync
    fi
    since() { awk -v a="$(date +%s.%N)" -v b="$1" 'BEGIN {printf "%.1f\n", a - b}'; }
    # run [file]: the installer to its end, with a Windows just started; prints
    # its seconds, and writes to file when its first temporary file appeared.
    run() {
        cp /power/registry/*.reg "$WINEPREFIX/"
        rm -f "$drive/result.txt"
        local started watcher=
        started=$(date +%s.%N)
        if [ -n "${1:-}" ]; then
            (until compgen -G "$system/*.orbel-*" >/dev/null; do sleep 0.05; done; since "$started" >"$1") &
            watcher=$!
        fi
        wine 'C:\stopwatch.exe' 'C:\result.txt' 'C:\command.txt' >/dev/null 2>&1
        since "$started"
        [ -z "$watcher" ] || kill "$watcher" 2>/dev/null
        wineserver -k
        wineserver -w
    }
    states() {
        local sum
        for name in "${names[@]}"; do
            if [ ! -e "$system/$name" ]; then
                echo "$name absent"
                continue
            fi
            sum=$(sha256sum <"$system/$name" | cut -c1-64)
            if grep -q "^$sum  $name\$" "$io/payload.sha256"; then
                echo "$name new"
            elif grep -q "^$sum  $name\$" /power/old.sha256; then
                echo "$name old"
            else
                echo "$name torn($(stat -c %s "$system/$name")-bytes)"
            fi
        done
    }
    [ "$boot" -gt 0 ] && states >"$io/cut-$boot"
    # A whole run after the cut: its length, its exit code, the temporary files it left, the targets.
    local seconds
    seconds=$(run "$([ "$boot" -gt 0 ] || echo /tmp/writing)")
    {
        echo "seconds $seconds"
        echo "writing $(cat /tmp/writing 2>/dev/null)"
        echo "code $(cut -d' ' -f2 "$drive/result.txt")"
        echo "temporary $(find "$system" -maxdepth 1 -name '*.orbel-*' | wc -l)"
        states
    } >"$io/run-$boot.new"
    mv "$io/run-$boot.new" "$io/run-$boot"
    [ -e "$io/last" ] && exit 0
    # The old versions back, on disk, then the run the host cuts short.
    for name in "${names[@]}"; do
        cp "/power/old/$name" "$system/$name"
    done
    sync
    touch "$io/started-$boot"
    run >/dev/null
    touch "$io/finished-$boot"
    sleep 3600
}
if [ -n "${ORBEL_IN_GUEST:-}" ]; then
    in_guest
    exit
fi

cd "$(dirname "$0")/../.."
build=$(cd "${1:?usage: power_cut_test.sh <build folder>}" && pwd)
cuts=${ORBEL_POWER_CUTS:-10}
seed=${ORBEL_POWER_CUT_SEED:-$RANDOM}
RANDOM=$seed
say() { echo "power cut: $*"; }
say "$cuts cuts, seed $seed (ORBEL_POWER_CUT_SEED=$seed replays the draws)"
# The guest built, if it must be, before any limit below starts counting.
scripts/guest-image >/dev/null || { say "no guest to run in"; exit 1; }

# A run folder beside the runner's: one whose test was killed outright goes at the next run.
. scripts/debian-tree.sh
run=$(new_run_folder "${TMPDIR:-/var/tmp}/orbel-guest")
io=$run/io
booter=
stop() {
    [ -s "$io/qemu.pid" ] && kill -9 "$(cat "$io/qemu.pid")" 2>/dev/null
    [ -n "$booter" ] && wait "$booter" 2>/dev/null
    rm -f "$io/qemu.pid"
    booter=
}
trap 'stop; rm -rf "$run"' EXIT
trap 'say "interrupted"; exit 130' INT
trap 'say "terminated"; exit 143' TERM

mkdir "$io"
cp "$0" "$io/script"
cp "$build/tests/setup_orbel_sized.exe" "$io/setup.exe"
cp "$build/tools/orbel_stopwatch.exe" "$io/stopwatch.exe"
# In a 64-bit Windows the installer writes the 64-bit builds.
(cd "$build/tests/sized-payloads/64" && sha256sum -- *) >"$io/payload.sha256"
truncate -s 8G "$run/power.img"
mkfs.ext4 -q -F -L orbel-power "$run/power.img"

failures=0
fail() { say "FAILED: $*"; failures=$((failures + 1)); }
# wait_for <file> <seconds>: whether the guest made file before stopping or the limit.
wait_for() {
    local waited=0
    while [ ! -e "$1" ]; do
        if ! kill -0 "$booter" 2>/dev/null || [ "$waited" -ge $(($2 * 10)) ]; then
            [ -e "$1" ]
            return
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
}
guest_log() {
    say "the guest's last words:"
    tail -n 20 "$io/script.log" "$io/console" "$io/qemu.log" 2>/dev/null
}
# field <file> <name>: the value of a "name value" line.
field() { awk -v n="$2" '$1 == n {print $2}' "$1"; }
count() { grep -c " $2\$" "$1"; }

started=$SECONDS
length=
for boot in $(seq 0 "$cuts"); do
    echo "$boot" >"$io/boot"
    [ "$boot" -eq "$cuts" ] && touch "$io/last"
    # Killed with this script, however it ends; qemu dies with it.
    setpriv --pdeathsig KILL scripts/guest boot-script "$io" "$run/power.img" >>"$run/boot.log" 2>&1 &
    booter=$!
    # The first start makes the Windows too.
    if ! wait_for "$io/run-$boot" $((boot == 0 ? 900 : 600)); then
        fail "start $boot: no run of the installer within its limit"
        guest_log
        break
    fi
    if [ "$boot" -gt 0 ]; then
        if grep -qv -e ' new$' -e ' old$' "$io/cut-$boot"; then
            fail "after cut $boot, a target is neither its old version nor the payload: $(grep -v -e ' new$' -e ' old$' "$io/cut-$boot" | tr '\n' ' ')"
        fi
        say "  after it: the payload in $(count "$io/cut-$boot" new), the old version in $(count "$io/cut-$boot" old)"
    fi
    code=$(field "$io/run-$boot" code) temporary=$(field "$io/run-$boot" temporary)
    say "start $boot: a whole run: exit $code in $(field "$io/run-$boot" seconds) s, $(count "$io/run-$boot" new) payloads in place, $temporary temporary files"
    [ "$code" = 0 ] || fail "start $boot: the installer exited with $code"
    [ "$temporary" = 0 ] || fail "start $boot: $temporary temporary files left"
    [ "$(count "$io/run-$boot" new)" = 11 ] || fail "start $boot: not every payload in place"
    [ "$boot" -lt "$cuts" ] || break
    # The moments are drawn from the first start's whole run, as warm as each
    # run that is cut: the n-th cut falls in the n-th part of the time from its
    # first temporary file to its end.
    if [ -z "$length" ]; then
        length=$(field "$io/run-0" seconds) writing=$(field "$io/run-0" writing)
        if [ -z "$writing" ]; then
            fail "the first run wrote no temporary file"
            break
        fi
        say "the installer writes from $writing s to $length s of its run; the cuts fall within that"
    fi
    at=$(awk -v t="$length" -v w="$writing" -v k="$boot" -v n="$cuts" -v r="$RANDOM" \
        'BEGIN {printf "%.2f", w + (t - w) * (k + r / 32768) / n}')
    if ! wait_for "$io/started-$boot" 300; then
        fail "start $boot: the run to cut did not start"
        guest_log
        break
    fi
    sleep "$at"
    kill -9 "$(cat "$io/qemu.pid")"
    when="during the run"
    [ -e "$io/finished-$boot" ] && when="after the run had ended"
    stop
    say "cut $((boot + 1)) at $at s of a $length s run, $when"
done
stop
say "$cuts cuts in $((SECONDS - started)) s"
[ "$failures" -eq 0 ]
