#!/bin/bash
# Power cuts in the middle of an install. The production-sized installer runs
# in a 64-bit Windows (Wine) in the emulated guest, whose system folder is on
# a disk of its own that outlives the guest: ext4 with noauto_da_alloc, so
# that, as on NTFS, nothing but the installer's own flush puts a file's bytes
# on disk before the rename over its target does. The host kills qemu outright
# (the guest's page cache is lost, as in a power cut) at a moment drawn at
# random after the guest reports the run's first temporary file. The guest
# then starts again, the file system replays its journal, and each of the
# eleven targets must hold its old bytes or its payload's, nothing else; then
# a new run must exit 0, put every payload in place and leave no temporary
# file. Only cuts that fell before the run's end count; one that missed is
# made again, and too few that count fail the test.
#
#   power_cut_test.sh <build folder>
#
# ORBEL_POWER_CUTS (default 10) cuts within the writes are aimed for, at most
# half as many more are made, and four fifths must count;
# ORBEL_POWER_CUT_SEED replays a run's draws.
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
        WINEARCH=win64 wineboot -i >/tmp/wineboot.log 2>&1 && wineserver -w ||
            { echo "cannot make the Windows; wineboot said:"; tail -n 5 /tmp/wineboot.log; exit 1; }
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
    # Whether a temporary file not among those listed has appeared (builtins only: polled often).
    new_temporary() {
        local file
        for file in "$system"/*.orbel-*; do
            [ -e "$file" ] && [[ " $1" != *" $file "* ]] && return 0
        done
        return 1
    }
    # run <file> [end]: the installer to its end, with a Windows just started;
    # prints its seconds, writes to file when its first temporary file appeared
    # and, the moment it exited, its seconds to end (whole, by a rename).
    run() {
        cp /power/registry/*.reg "$WINEPREFIX/"
        rm -f "$drive/result.txt"
        local started watcher before
        # Temporary files a cut left are no sign of this run's writing.
        before=$(printf '%s ' "$system"/*.orbel-*)
        started=$(date +%s.%N)
        (until new_temporary "$before"; do sleep 0.02; done; since "$started" >"$1") &
        watcher=$!
        wine 'C:\stopwatch.exe' 'C:\result.txt' 'C:\command.txt' >/dev/null 2>&1
        local took
        took=$(since "$started")
        [ -z "${2:-}" ] || { echo "$took" >"$2.new" && mv "$2.new" "$2"; }
        echo "$took"
        kill "$watcher" 2>/dev/null
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
    rm -f /tmp/writing
    seconds=$(run /tmp/writing)
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
    run "$io/writing-$boot" "$io/finished-$boot" >/dev/null
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
    local until=$((SECONDS + $2))
    while [ ! -e "$1" ]; do
        if ! kill -0 "$booter" 2>/dev/null || [ "$SECONDS" -ge "$until" ]; then
            [ -e "$1" ]
            return
        fi
        sleep 0.02
    done
}
guest_log() {
    say "the guest's last words:"
    tail -n 20 "$io/script.log" "$io/console" "$io/qemu.log" 2>/dev/null
}
# field <file> <name>: the value of a "name value" line.
field() { awk -v n="$2" '$1 == n {print $2}' "$1"; }
count() { grep -c " $2\$" "$1"; }

# Only a cut made while the installer writes proves anything: one that falls
# after its end is made again at a new moment, up to half as many times more.
# Each cut falls at a drawn delay after the guest reports the run's first
# temporary file, within a share of the time that the whole run just before
# it, in the same start, wrote for: the run that is cut follows it with a warm
# cache and writes faster (measured in the guest on a host without 32-bit
# code: cuts at 0.62 to 0.71 of that time all fell after the end, ones at 0.55
# and 0.58 within). The n-th counted cut falls in the n-th part of that. A cut
# that missed tells how long its run wrote for, and the share shrinks to nine
# tenths of that run's part of the span: a host where the cut run writes faster
# loses one cut, not the last strata.
needed=$((cuts - cuts / 5)) most=$((cuts + cuts / 2))
share=0.55
started=$SECONDS
within=0 made=0 boot=0
while :; do
    echo "$boot" >"$io/boot"
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
        torn=$(grep -v -e ' new$' -e ' old$' "$io/cut-$boot" | tr '\n' ' ')
        say "  after it: the payload in $(count "$io/cut-$boot" new), the old version in $(count "$io/cut-$boot" old)"
        # One torn target disproves the promise; more cuts would only repeat it.
        if [ -n "$torn" ]; then
            fail "after cut $made, a target is neither its old version nor the payload: $torn"
            break
        fi
    fi
    code=$(field "$io/run-$boot" code) temporary=$(field "$io/run-$boot" temporary)
    length=$(field "$io/run-$boot" seconds) writing=$(field "$io/run-$boot" writing)
    span=$(awk -v t="$length" -v w="$writing" 'BEGIN {printf "%.1f", t - w}')
    say "start $boot: a whole run: exit $code in $length s, writing from $writing s, $(count "$io/run-$boot" new) payloads in place, $temporary temporary files"
    [ "$code" = 0 ] || fail "start $boot: the installer exited with $code"
    [ "$temporary" = 0 ] || fail "start $boot: $temporary temporary files left"
    [ "$(count "$io/run-$boot" new)" = 11 ] || fail "start $boot: not every payload in place"
    [ -n "$writing" ] || fail "start $boot: the run wrote no temporary file"
    [ "$failures" -eq 0 ] && [ ! -e "$io/last" ] || break
    at=$(awk -v s="$share" -v d="$span" -v k="$within" -v n="$cuts" -v r="$RANDOM" \
        'BEGIN {printf "%.2f", s * d * (k + r / 32768) / n}')
    if ! wait_for "$io/started-$boot" 300 || ! wait_for "$io/writing-$boot" 300; then
        fail "start $boot: the run to cut did not begin writing"
        guest_log
        break
    fi
    sleep "$at"
    kill -9 "$(cat "$io/qemu.pid")"
    made=$((made + 1))
    # Made after the kill: the run's end marker is there only if it ended before.
    if [ -e "$io/finished-$boot" ]; then
        when="after the run had ended: not counted"
        # The cut run's own writes, from its first temporary file to its end.
        wrote=$(awk -v e="$(cat "$io/finished-$boot")" -v b="$(cat "$io/writing-$boot")" \
            'BEGIN {if (e != "" && b != "") printf "%.1f", e - b}')
        if [ -n "$wrote" ]; then
            share=$(awk -v s="$share" -v d="$wrote" -v p="$span" \
                'BEGIN {f = p > 0 ? 0.9 * d / p : s; printf "%.3f", (f > 0 && f < s) ? f : s}')
            when+="; it wrote for $wrote s, the share is now $share"
        fi
    else
        within=$((within + 1))
        when="within the writes ($within of $cuts)"
    fi
    stop
    say "cut $made at $at s after the first temporary file (the run before wrote for $span s), $when"
    [ "$within" -lt "$cuts" ] && [ "$made" -lt "$most" ] || touch "$io/last"
    boot=$((boot + 1))
done
stop
say "$within of $made cuts fell within the writes, in $((SECONDS - started)) s"
if [ "$failures" -eq 0 ] && [ "$within" -lt "$needed" ]; then
    fail "only $within of $made cuts fell within the writes (at least $needed of $cuts needed): the machine was too slow or too loaded"
fi
[ "$failures" -eq 0 ]
