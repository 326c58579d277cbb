#!/bin/bash
# Checks of the emulated path's runner (scripts/guest) that a green test run
# inside the guest cannot show: which path a host takes, that a failure in the
# guest fails the host's run, and that a hung guest is stopped at its limit
# with nothing of the run left behind.
set -u
cd "$(dirname "$0")/../.."
command -v pgrep >/dev/null || { echo "guest runner: pgrep is missing (Debian's procps)"; exit 1; }
failed=0 passed=0
check() {
    if [ "$2" = "$3" ]; then
        passed=$((passed + 1))
    else
        echo "guest runner: FAILED: $1: expected '$3', got '$2'"
        failed=$((failed + 1))
    fi
}
answer() { ORBEL_EMULATE=$1 scripts/guest needed >/dev/null 2>&1; echo $?; }
runs=${TMPDIR:-/var/tmp}/orbel-guest
leftovers() { ls -d "$runs"/run-$1.* 2>/dev/null | wc -l; }

check "ORBEL_EMULATE=1 takes the emulated path" "$(answer 1)" 0
check "ORBEL_EMULATE=0 takes the native path" "$(answer 0)" 1
# Cross-checked with a 32-bit program the toolchain links, where there is one.
if command -v as >/dev/null && command -v ld >/dev/null; then
    t=$(mktemp -d)
    printf '.globl _start\n_start: movl $1,%%eax\n movl $7,%%ebx\n int $0x80\n' >"$t/p.s"
    as --32 "$t/p.s" -o "$t/p.o" && ld -m elf_i386 "$t/p.o" -o "$t/p"
    "$t/p" 2>/dev/null
    [ $? -eq 7 ] && expected=1 || expected=0
    rm -rf "$t"
    check "the probe agrees with a linked 32-bit program" "$(answer '')" "$expected"
fi

# A failing command's output and status reach the host, and the status of the
# host's work is the run's. The guest takes the native path.
out=$(mktemp)
scripts/guest with bash -c 'scripts/guest exec bash -c \
    "ORBEL_EMULATE= scripts/guest needed; echo needed=\$?; echo 1 tests failed out of 9; exit 8"
    echo "status=$?"; exit 7' >"$out" 2>&1 &
guest=$!
wait "$guest"
check "the host's work's status is the run's" "$?" 7
check "the guest runs 32-bit code" "$(grep -c '^needed=1$' "$out")" 1
check "the guest's output reaches the host" "$(grep -c '^1 tests failed out of 9$' "$out")" 1
check "a failing command's exit status reaches the host" "$(grep -c '^status=8$' "$out")" 1
check "nothing of a finished run is left" "$(leftovers "$guest")" 0

# Work that never ends is stopped at the limit, with a message that says what hung.
ORBEL_GUEST_TIMEOUT=90 scripts/guest with scripts/guest exec sleep 3600 >"$out" 2>&1 &
guest=$!
wait "$guest"
check "a hung guest is stopped with 124" "$?" 124
check "the message names what hung" "$(grep -c "hung: no end after 90 s; .* running: \[sleep 3600 \]" "$out")" 1
check "nothing of a hung run is left" "$(leftovers "$guest")" 0

# Interrupted while the guest starts: stopped at once, nothing left behind.
scripts/guest with scripts/guest exec sleep 3600 >"$out" 2>&1 &
guest=$!
for _ in $(seq 120); do
    pgrep -f "orbel-guest/run-$guest\." >/dev/null && break
    sleep 1
done
sleep 2
kill -TERM "$guest"
wait "$guest"
check "a terminated run exits with 143" "$?" 143
check "nothing of a terminated run is left" "$(leftovers "$guest")" 0
check "no qemu of the run is left" "$(pgrep -f "orbel-guest/run-$guest\." | wc -l)" 0

# A guest build interrupted while debootstrap has mounted into its tree leaves
# no tree, no mount and no process behind, and removes nothing outside it.
cache=$(mktemp -d /var/tmp/orbel-guest-test.XXXXXX)
ORBEL_GUEST_CACHE=$cache scripts/guest-image >"$out" 2>&1 &
build=$!
for _ in $(seq 300); do
    grep -qs '^I: Installing core packages' "$cache"/build-*.log && break
    sleep 1
done
kill -TERM "$build"
wait "$build"
check "an interrupted guest build exits with 143" "$?" 143
check "no tree of an interrupted guest build is left" "$(find "$cache" -mindepth 1 -maxdepth 1 -type d | wc -l)" 0
check "no mount of an interrupted guest build is left" "$(cat /proc/[0-9]*/mountinfo 2>/dev/null | grep -c "$cache")" 0
check "no process of an interrupted guest build is left" "$(pgrep -f "$cache" | wc -l)" 0
rm -rf --one-file-system "$cache" "$out"

echo "guest runner: $passed checks passed, $failed failed"
[ "$failed" -eq 0 ]
