# Host-side checks of a guest's ext4 disk image, never mounted here.
check() {
    local name=$1
    shift
    if "$@" >/dev/null 2>&1; then echo "VMTEST PASS $name"; else echo "VMTEST FAIL $name"; fi
}
expect_eq() {
    if [ "$2" = "$3" ]; then echo "VMTEST PASS $1"; else echo "VMTEST FAIL $1: expected '$2', got '$3'"; fi
}

# The free block and inode totals in the superblock lag after an unclean
# stop; the kernel recounts them at mount. Any other repair is damage.
only_summary_repairs() {
    awk '/\? yes$/ && !($0 == "Fix? yes" && prev ~ /^Free (blocks|inodes) count wrong/) { bad = 1 }
         NF { prev = $0 }
         END { exit bad }' "$1"
}

# disk_extract IMAGE DIR: replays the journal on a copy of IMAGE (as the
# kernel would on the next mount), checks the file system is then clean,
# and unpacks the whole tree into DIR with modes.
disk_extract() {
    local copy=$2.img
    cp "$1" "$copy"
    e2fsck -fy "$copy" >"$2.fsck1" 2>&1 || true
    check "file system clean after journal replay" e2fsck -fn "$copy"
    check "no repairs beyond the journal" only_summary_repairs "$2.fsck1"
    rm -rf "$2"
    mkdir -p "$2"
    debugfs -R "rdump / $2" "$copy" >/dev/null 2>&1
}
