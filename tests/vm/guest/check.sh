# Result lines the host reads from the serial console.
pass() { echo "VMTEST PASS $*"; }
fail() { echo "VMTEST FAIL $*"; }

# check NAME COMMAND...: passes when COMMAND succeeds.
check() {
    name=$1; shift
    if "$@"; then pass "$name"; else fail "$name"; fi
}

# expect_eq NAME EXPECTED ACTUAL
expect_eq() {
    if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: expected '$2', got '$3'"; fi
}
