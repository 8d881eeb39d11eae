#!/usr/bin/env bash
# boardleds on a real kernel: LED-class triggers of the emulated keyboard.
# usage: run-boardleds.sh WORK_DIR CACHE_DIR BOARDLEDS_TOOL
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
vm_prepare "$1" "$2"

mkdir "$work/payload"
cp "$vm_dir/guest/boardleds.sh" "$work/payload/main.sh"
cp "$3" "$work/payload/boardleds_tool"
"$vm_dir/initramfs.sh" "$work/initrd.gz" "$kernel" "$work/payload" -m ledtrig-heartbeat
vm_boot "$work/boot.log" 120 "$work/initrd.gz"
vm_results "$work/boot.log"
