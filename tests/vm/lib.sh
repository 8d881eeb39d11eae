# Shared by the group scripts: kernel, initramfs, boot, results.
# Every group script runs as: GROUP.sh WORK_DIR CACHE_DIR [group arguments].
set -euo pipefail

vm_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# A guest started in the background never outlives its test.
trap '[ -z "${vm_pid:-}" ] || kill -9 "$vm_pid" 2>/dev/null || true' EXIT
skip() { echo "SKIPPED: $*"; exit 77; }

# vm_prepare WORK CACHE: sets $work (emptied) and $kernel, or skips.
vm_prepare() {
    work=$1
    command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 not installed (scripts/bootstrap)"
    [ -x /bin/busybox ] || skip "busybox-static not installed (scripts/bootstrap)"
    local status=0
    kernel=$("$vm_dir/kernel.sh" "$2") || status=$?
    [ "$status" = 77 ] && skip "no Debian kernel package could be fetched"
    [ "$status" = 0 ] || exit "$status"
    rm -rf "$work"
    mkdir -p "$work"
}

# vm_command INITRD [QEMU ARGUMENTS...]: the virtual board's command line,
# into $vm_cmd. no_timer_check: on a loaded machine the emulated timer can
# look broken to the kernel's early check, which then panics.
vm_command() {
    local initrd=$1
    shift
    vm_cmd=(qemu-system-x86_64 -accel tcg -cpu max -m 512 -nographic -no-reboot -net none
        -kernel "$kernel/vmlinuz" -initrd "$initrd"
        -append "console=ttyS0 quiet panic=-1 no_timer_check" "$@")
}

# vm_boot LOG SECONDS INITRD [QEMU ARGUMENTS...]: boots and waits until the
# guest powers off or reboots; a guest still running after SECONDS is
# killed and the boot fails.
vm_boot() {
    local log=$1 seconds=$2 status=0
    shift 2
    vm_command "$@"
    timeout --kill-after=5 "$seconds" "${vm_cmd[@]}" </dev/null >"$log" 2>&1 || status=$?
    if [ "$status" = 124 ] || [ "$status" = 137 ]; then
        echo "VMTEST FAIL boot: guest still running after ${seconds}s" >>"$log"
    elif [ "$status" != 0 ]; then
        echo "VMTEST FAIL boot: qemu exit status $status" >>"$log"
    fi
}

# vm_start LOG INITRD [QEMU ARGUMENTS...]: starts the guest in the
# background; its process is $vm_pid.
vm_start() {
    local log=$1
    shift
    vm_command "$@"
    "${vm_cmd[@]}" </dev/null >"$log" 2>&1 &
    vm_pid=$!
}

# vm_wait_for LOG TEXT SECONDS: true once TEXT shows in LOG; false when the
# guest ended first or SECONDS passed.
vm_wait_for() {
    local deadline=$((SECONDS + $3))
    while ! grep -q "$2" "$1"; do
        kill -0 "$vm_pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# vm_stop_within SECONDS: waits for the guest to end by itself, killing it
# after SECONDS; false when it had to be killed.
vm_stop_within() {
    local deadline=$((SECONDS + $1))
    while kill -0 "$vm_pid" 2>/dev/null; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            kill -9 "$vm_pid"
            wait "$vm_pid" 2>/dev/null || true
            return 1
        fi
        sleep 0.05
    done
    wait "$vm_pid" 2>/dev/null || true
}

# vm_results LOG...: prints the logs; fails on any FAIL line, a log whose
# guest never reached its end, or when no check passed at all.
vm_results() {
    local log passes=0 fails=0
    for log in "$@"; do
        echo "---- $(basename "$log")"
        tr -d '\r' <"$log"
        grep -q '^VMTEST END' "$log" ||
            { echo "VMTEST FAIL guest stopped before its checks ended"; fails=$((fails + 1)); }
        passes=$((passes + $(tr -d '\r' <"$log" | grep -c '^VMTEST PASS' || true)))
        fails=$((fails + $(tr -d '\r' <"$log" | grep -c '^VMTEST FAIL' || true)))
    done
    echo "---- $passes passed, $fails failed"
    [ "$fails" = 0 ] && [ "$passes" -gt 0 ]
}
