#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds C consumers of every
# module against it: through pkg-config, with and without --static, and
# through find_package in a project that enables C only.
# usage: check_install.sh BUILD_DIR SOURCE_DIR C_COMPILER MODULE...
# QN_CONSUMER_FLAGS: extra compile and link flags (a sanitized build's
# archives need the sanitizer runtimes in the consumer too).
# QN_NM: the nm of the target's toolchain.
# For a cross build, QN_TARGET_EMULATOR runs the consumers and
# QN_TARGET_TOOLCHAIN is the toolchain file of the find_package consumer.
# QN_INSTALL_LIBDIR: the libraries' folder below the prefix (default lib).
set -euo pipefail

build=$1 src=$2 cc=$3
shift 3
modules=("$@")
run=${QN_TARGET_EMULATOR:-}

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix/root" >/dev/null
root=$prefix/root
libdir=${QN_INSTALL_LIBDIR:-lib}

if grep -q 'add_executable(updater' "$src/updater/CMakeLists.txt" 2>/dev/null; then
    test -x "$root/bin/updater" || { echo "missing bin/updater"; exit 1; }
fi

export PKG_CONFIG_PATH=$root/$libdir/pkgconfig
for m in "${modules[@]}"; do
    test -f "$root/$libdir/lib$m.a" || { echo "missing $libdir/lib$m.a"; exit 1; }
    test -f "$root/include/$m.h" || { echo "missing include/$m.h"; exit 1; }
    # A C program links with the C compiler alone: the library needs
    # nothing from the C++ runtime.
    undefined=$(${QN_NM:-nm} -u "$root/$libdir/lib$m.a")
    if cxx=$(grep -E ' (_Z|__cxa_|__gxx_|_Unwind_)' <<<"$undefined"); then
        echo "lib$m.a needs the C++ runtime:"
        sort -u <<<"$cxx"
        exit 1
    fi
    # No hook into the library: static linking reaches every global symbol
    # of its objects, hidden or not, so the only writable globals are the
    # public header's, and nothing refers to a test build's kernel seam.
    writable=$(${QN_NM:-nm} -g --defined-only "$root/$libdir/lib$m.a" |
               awk 'NF == 3 && $2 ~ /^[BDGSCV]$/ && $3 !~ /^__(odr_)?(asan|ubsan)/ { print $3 }')
    for symbol in $writable; do
        grep -qw -- "$symbol" "$root/include/$m.h" ||
            { echo "lib$m.a has a writable global the header does not declare: $symbol"; exit 1; }
    done
    if seam=$(grep -E ' qn_kernel_seam_' <<<"$(${QN_NM:-nm} -g "$root/$libdir/lib$m.a")"); then
        echo "lib$m.a is a test build:"
        echo "$seam"
        exit 1
    fi
    for static in --static ""; do
        # shellcheck disable=SC2046,SC2086
        "$cc" -std=c99 -Wall -Werror ${QN_CONSUMER_FLAGS:-} -o "$prefix/$m-pc" \
            "$src/$m/tests/consumer.c" $(pkg-config $static --cflags --libs "$m")
        $run "$prefix/$m-pc"
    done
done

# A bundled KISS FFT is private to libspectrum.a: an application linking
# another build of it (float, say) must not get ours, nor ours theirs.
if syms=$(nm -g --defined-only "$root/$libdir/libspectrum.a" 2>/dev/null) &&
   grep -qE ' [A-Z] kiss_' <<<"$syms"; then
    echo "libspectrum.a exports KISS FFT symbols:"
    grep -E ' [A-Z] kiss_' <<<"$syms"
    exit 1
fi

# find_package consumer project listing every module.
mkdir -p "$prefix/cmake-consumer"
{
    echo "cmake_minimum_required(VERSION 3.25)"
    echo "project(consumer C)"
    for m in "${modules[@]}"; do
        echo "find_package($m REQUIRED)"
        echo "add_executable(${m}_consumer $src/$m/tests/consumer.c)"
        echo "target_link_libraries(${m}_consumer PRIVATE $m::$m)"
    done
} > "$prefix/cmake-consumer/CMakeLists.txt"
cmake -S "$prefix/cmake-consumer" -B "$prefix/cmake-build" \
      -DCMAKE_PREFIX_PATH="$root" -DCMAKE_C_COMPILER="$cc" \
      -DCMAKE_C_FLAGS="${QN_CONSUMER_FLAGS:-}" -DCMAKE_EXE_LINKER_FLAGS="${QN_CONSUMER_FLAGS:-}" \
      ${QN_TARGET_TOOLCHAIN:+-DCMAKE_TOOLCHAIN_FILE="$QN_TARGET_TOOLCHAIN" -DCMAKE_FIND_ROOT_PATH="$root"} >/dev/null
cmake --build "$prefix/cmake-build" >/dev/null
for m in "${modules[@]}"; do
    $run "$prefix/cmake-build/${m}_consumer"
done
echo "install contract holds for: ${modules[*]}"
