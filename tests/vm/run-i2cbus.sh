#!/usr/bin/env bash
# i2cbus on a real kernel: i2c-dev, i2c-stub, at24 and i2c-tools.
# usage: run-i2cbus.sh WORK_DIR CACHE_DIR I2CBUS_TOOL
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
vm_prepare "$1" "$2"

mkdir "$work/payload"
cp "$vm_dir/guest/i2cbus.sh" "$work/payload/main.sh"
cp "$3" "$work/payload/i2cbus_tool"
# Two stub chips; all the stub's transaction kinds, SMBus block included.
echo "i2c-stub chip_addr=0x50,0x51 functionality=0xffffffff" >"$work/payload/module-options"
tools=()
for t in i2cget i2cset i2cdump i2ctransfer strace; do tools+=(-b "$(command -v $t)"); done
"$vm_dir/initramfs.sh" "$work/initrd.gz" "$kernel" "$work/payload" \
    -m i2c-dev -m i2c-stub -m at24 "${tools[@]}"
vm_boot "$work/boot.log" 120 "$work/initrd.gz"
vm_results "$work/boot.log"
