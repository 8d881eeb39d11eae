#!/usr/bin/env bash
# boardleds on a real kernel: LED-class triggers of the emulated keyboard,
# and the PHY of an emulated network card that is connected to nothing.
# usage: run-boardleds.sh WORK_DIR CACHE_DIR BOARDLEDS_TOOL
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
vm_prepare "$1" "$2"

mkdir "$work/payload"
cp "$vm_dir/guest/boardleds.sh" "$work/payload/main.sh"
cp "$3" "$work/payload/boardleds_tool"
cp "$kernel"/lib/modules/*/kernel/drivers/net/ethernet/intel/e1000/e1000.ko "$work/payload/"
"$vm_dir/initramfs.sh" "$work/initrd.gz" "$kernel" "$work/payload" -m ledtrig-heartbeat
vm_boot "$work/boot.log" 120 "$work/initrd.gz" -device e1000
vm_results "$work/boot.log"
