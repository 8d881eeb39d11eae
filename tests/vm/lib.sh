# Shared by the group scripts: kernel, initramfs, boot, results.
# Every group script runs as: GROUP.sh WORK_DIR CACHE_DIR [group arguments].
set -euo pipefail

vm_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
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

# vm_boot LOG SECONDS INITRD [QEMU ARGUMENTS...]: boots and waits until the
# guest powers off or reboots; a guest still running after SECONDS is
# killed and the boot fails.
vm_boot() {
    local log=$1 seconds=$2 initrd=$3 status=0
    shift 3
    timeout --kill-after=5 "$seconds" qemu-system-x86_64 \
        -accel tcg -cpu max -m 512 -nographic -no-reboot -net none \
        -kernel "$kernel/vmlinuz" -initrd "$initrd" \
        -append "console=ttyS0 quiet panic=-1" "$@" \
        </dev/null >"$log" 2>&1 || status=$?
    if [ "$status" = 124 ] || [ "$status" = 137 ]; then
        echo "VMTEST FAIL boot: guest still running after ${seconds}s" >>"$log"
    elif [ "$status" != 0 ]; then
        echo "VMTEST FAIL boot: qemu exit status $status" >>"$log"
    fi
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
