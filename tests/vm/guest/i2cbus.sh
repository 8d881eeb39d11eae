# i2cbus against the kernel's i2c-stub, cross-checked with i2c-tools.
# Bus 0 has stub chips at 0x50 (free) and 0x51 (claimed by the at24
# driver); nothing answers at 0x52.
. /etc/check.sh
tool=/payload/i2cbus_tool
# i2c-tools, not the busybox applets of the same names that the shell
# would prefer.
for t in i2cget i2cset i2ctransfer; do eval "$t() { /usr/sbin/$t \"\$@\"; }"; done
bus=/dev/i2c-0

# call OP ARGS...: runs the tool; $out holds its output, $err its stderr.
call() {
    out=$($tool "$@" 2>/tmp/err)
    err=$(cat /tmp/err)
}
matches() { echo "$1" | grep -qx "$2"; }
field() { echo "$out" | tr ' ' '\n' | sed -n "s/^$1=//p"; }
# expect_call NAME STATUS MESSAGE OP ARGS...
expect_call() {
    name=$1 status=$2 message=$3
    shift 3
    call "$@"
    expect_eq "$name status" "$status" "$(field status)"
    expect_eq "$name message" "$message" "$err"
}
# I2C block as i2cget prints it ("0x01 0x02"), in the tool's form ("01 02").
block_from_i2cget() { i2cget -y 0 0x50 "$1" i "$2" | sed 's/0x//g'; }

echo "24c02 0x51" >/sys/bus/i2c/devices/i2c-0/new_device
check "at24 bound at 0x51" test -e /sys/bus/i2c/devices/0-0051/driver

# Byte and word data, both directions.
expect_call "write_byte" 0 "" write_byte $bus 0x50 0x10 0xab 0
expect_eq "write_byte seen by i2cget" 0xab "$(i2cget -y 0 0x50 0x10 b)"
i2cset -y 0 0x50 0x11 0x5c b
expect_call "read_byte" 0 "" read_byte $bus 0x50 0x11 0
expect_eq "read_byte of i2cset" 0x5c "$(field value)"
expect_eq "both seen by i2cdump" "ab 5c" \
    "$(/usr/sbin/i2cdump -y -r 0x10-0x11 0 0x50 b | sed -n 's/^10: \(.. ..\).*/\1/p')"
expect_call "write_word" 0 "" write_word $bus 0x50 0x20 0xbeef 0
expect_eq "write_word seen by i2cget" 0xbeef "$(i2cget -y 0 0x50 0x20 w)"
i2cset -y 0 0x50 0x22 0x1234 w
expect_call "read_word" 0 "" read_word $bus 0x50 0x22 0
expect_eq "read_word of i2cset" 0x1234 "$(field value)"

# Command byte: the stub's byte read returns the register the last command
# byte selected.
i2cset -y 0 0x50 0x30 0x77 b
expect_call "write_command" 0 "" write_command $bus 0x50 0x30 0
expect_eq "write_command then i2cget byte" 0x77 "$(i2cget -y 0 0x50)"
i2cset -y 0 0x50 0x31 0x66 b
i2cset -y 0 0x50 0x31 c
expect_call "read_command" 0 "" read_command $bus 0x50 0
expect_eq "read_command after i2cset command" 0x66 "$(field value)"

# I2C block reads and the requested-length cases.
i2cset -y 0 0x50 0x40 $(seq 1 32) i
for request in 16:16 32:32 40:32 300:32 260:4 1:1; do
    want=${request#*:}
    expect_call "read_buffer $request" 0 "" read_buffer $bus 0x50 0x40 "${request%:*}" 0
    expect_eq "read_buffer $request count" "$want" "$(field length)"
    expect_eq "read_buffer $request data as i2cget" "$(block_from_i2cget 0x40 "$want")" \
        "$(echo "$out" | sed -n 's/.*data=//p')"
done
# The kernel refuses an empty I2C block read (EINVAL), and so does 256.
expect_call "read_buffer 0" 61 "[qn_i2c] I2C Read operation failed - 22." read_buffer $bus 0x50 0x40 0 0
expect_call "read_buffer 256" 61 "[qn_i2c] I2C Read operation failed - 22." read_buffer $bus 0x50 0x40 256 0

# SMBus block write: i2cget reads the block back; longer data is cut to 32.
expect_call "write_buffer" 0 "" write_buffer $bus 0x50 0x60 0x11 0x22 0x33 0x44 0x55 0
expect_eq "write_buffer seen by i2cget" "0x11 0x22 0x33 0x44 0x55" "$(i2cget -y 0 0x50 0x60 s)"
expect_call "write_buffer 40 bytes" 0 "" write_buffer $bus 0x50 0x61 $(seq 1 40) 0
expect_eq "write_buffer 40 bytes sends 32" 32 "$(i2cget -y 0 0x50 0x61 s | wc -w)"

# Plain messages: the stub has no plain-transfer support, so the kernel
# refuses I2C_RDWR (EOPNOTSUPP) to i2ctransfer and to the module alike.
check "i2ctransfer refused by the stub" sh -c '! i2ctransfer -y 0 r4@0x50 2>/dev/null'
expect_call "ioctl_read unsupported" 61 "[qn_i2c] I2C Read operation failed - 95." ioctl_read $bus 0x50 4 0
expect_call "ioctl_write unsupported" 62 "[qn_i2c] I2C Write operation failed - 95." ioctl_write $bus 0x50 0x01 0x02 0

# Nobody answers at 0x52: the bind works, the transfer does not.
expect_call "read_byte no chip" 61 "[qn_i2c] I2C Read operation failed." read_byte $bus 0x52 0x00 0
expect_call "write_byte no chip" 62 "[qn_i2c] I2C Write Operation failed." write_byte $bus 0x52 0x00 0x01 0
expect_call "read_word no chip" 61 "[qn_i2c] I2C Read operation failed." read_word $bus 0x52 0x00 0
call write_command $bus 0x52 0x00 0
expect_eq "write_command no chip status" 62 "$(field status)"
check "write_command no chip message" matches "$err" '\[qn_i2c\] I2C Write Operation failed - [0-9]*\.'
call read_buffer $bus 0x52 0x00 8 0
expect_eq "read_buffer no chip status" 61 "$(field status)"
check "read_buffer no chip message" matches "$err" '\[qn_i2c\] I2C Read operation failed - [0-9]*\.'

# 0x51 belongs to at24: refused without force, served with it.
expect_call "claimed address" 63 "[qn_i2c] Could not set I2C_SLAVE." read_byte $bus 0x51 0x00 0
expect_call "claimed address write" 63 "[qn_i2c] Could not set I2C_SLAVE." write_byte $bus 0x51 0x05 0x42 0
expect_call "claimed address forced write" 0 "" write_byte $bus 0x51 0x05 0x42 1
expect_eq "forced write seen by i2cget -f" 0x42 "$(i2cget -f -y 0 0x51 0x05 b)"
expect_call "claimed address forced read" 0 "" read_byte $bus 0x51 0x05 1
expect_eq "forced read value" 0x42 "$(field value)"

# An application started with stderr closed: the node must not take
# descriptor 2, where the failure line would be a plain I2C write to the
# device. strace -y names the file behind each descriptor.
/usr/bin/strace -f -y -s 128 -e trace=write -o /tmp/trace \
    sh -c "exec $tool ioctl_read $bus 0x50 4 0 2>&-" >/tmp/out 2>/dev/null
expect_eq "stderr closed: status" "status=61" "$(cat /tmp/out)"
check "stderr closed: the line was not written to the node" \
    sh -c "! grep -q 'write([0-9]*</dev/i2c-0>' /tmp/trace"
check "stderr closed: the line went to the closed descriptor" \
    grep -q 'write(2, "\[qn_i2c\] I2C Read operation failed - 95.\\n", [0-9]*) = -1 EBADF' /tmp/trace

# A node that does not exist, and a null buffer.
expect_call "missing node" 60 "[qn_i2c] Unable to open device node ERROR: 2: No such file or directory" \
    read_byte /dev/i2c-9 0x50 0x00 0
expect_call "null buffer" 64 "" null_buffer $bus 0x50 0

# Several threads at once; a call waits for a caller holding the mutex.
i2cset -y 0 0x50 0x70 0x01 b
call held $bus 0x50 0x70 0x02 0
expect_eq "call waits while the mutex is held" "0x01 0x02" "$(field during) $(field after)"
call threads $bus 0x50 8 100 0
expect_eq "threads: no interleaving errors" "0 0" "$(field errors) $(field leaked)"
