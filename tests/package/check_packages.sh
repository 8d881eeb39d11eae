#!/usr/bin/env bash
# Checks the kit's Debian packages with dpkg-deb: their control fields, the
# files each one holds, and that every object in them is built for the
# package's architecture (a board package holds ARM objects only).
# usage: check_packages.sh RUNTIME_DEB DEV_DEB
# Environment: QN_DEB_ARCH, QN_DEB_VERSION, QN_MULTIARCH (the triplet),
# QN_PROGRAMS and QN_MODULES (space-separated), QN_READELF.
set -euo pipefail

runtime=$1 dev=$2
arch=$QN_DEB_ARCH libdir=usr/lib/$QN_MULTIARCH
read -ra programs <<<"$QN_PROGRAMS"
read -ra modules <<<"$QN_MODULES"

fail() { echo "$*"; exit 1; }
field() { dpkg-deb --field "$1" "$2"; }
expect_field() {    # DEB FIELD VALUE
    local value
    value=$(field "$1" "$2")
    [ "$value" = "$3" ] || fail "$(basename "$1"): $2 is '$value', not '$3'"
}

for deb in "$runtime" "$dev"; do
    [ -f "$deb" ] || fail "$deb: no such package"
    dpkg-deb --info "$deb" >/dev/null
    expect_field "$deb" Version "$QN_DEB_VERSION"
    expect_field "$deb" Architecture "$arch"
done
expect_field "$runtime" Package boardkit
expect_field "$dev" Package boardkit-dev
expect_field "$dev" Multi-Arch same
expect_field "$dev" Depends libc6-dev

# The programs' Depends come from dpkg-shlibdeps, under the names of the
# packages' own architecture (never a cross toolchain's package).
depends=$(field "$runtime" Depends)
depends_names=$(sed 's/ *([^)]*)//g; s/, */\n/g' <<<"$depends")
needed=(libc6 libstdc++6 libssl3)   # libssl3: the updater's libcrypto
[[ " ${programs[*]} " == *" spectrum-analyser "* ]] && needed+=(libsndfile1)
for package in "${needed[@]}"; do
    grep -qxF "$package" <<<"$depends_names" || fail "boardkit: Depends lacks $package: $depends"
done
grep -qE ':|-cross' <<<"$depends" && fail "boardkit: Depends names foreign packages: $depends"
if [[ " ${programs[*]} " != *" spectrum-analyser "* ]]; then
    grep -q libsndfile <<<"$depends" && fail "boardkit: Depends on libsndfile without the analyser"
fi

# Which files where.
files() { dpkg-deb --fsys-tarfile "$1" | tar -t | sed 's|^\./||'; }
has_all() {    # DEB LISTING PATH...
    local deb=$1 listing=$2 path
    shift 2
    for path; do
        grep -qxF "$path" <<<"$listing" || fail "$(basename "$deb"): lacks $path"
    done
}
runtime_files=$(files "$runtime")
dev_files=$(files "$dev")

expected=(usr/share/doc/boardkit/copyright usr/share/doc/boardkit/changelog.gz
          usr/share/man/man8/updater.8.gz)
for program in "${programs[@]}"; do
    expected+=("usr/bin/$program")
done
[[ " ${programs[*]} " == *" spectrum-analyser "* ]] && expected+=(usr/share/man/man1/spectrum-analyser.1.gz)
has_all "$runtime" "$runtime_files" "${expected[@]}"
grep -E '^usr/include/|\.a$|\.pc$' <<<"$runtime_files" && fail "boardkit holds development files"

expected=(usr/share/doc/boardkit-dev/copyright usr/share/doc/boardkit-dev/changelog.gz)
for m in "${modules[@]}"; do
    expected+=("usr/include/$m.h" "$libdir/lib$m.a" "$libdir/pkgconfig/$m.pc"
               "$libdir/cmake/$m/${m}Config.cmake" "$libdir/cmake/$m/${m}ConfigVersion.cmake"
               "$libdir/cmake/$m/${m}Targets.cmake")
done
has_all "$dev" "$dev_files" "${expected[@]}"
grep -E '^usr/bin/' <<<"$dev_files" && fail "boardkit-dev holds programs"
grep -E '^usr/lib/[^/]+$' <<<"$dev_files" && fail "boardkit-dev has libraries outside $libdir"

# Every object (each member of an archive) is built for the architecture.
case $arch in
    amd64) machine='Advanced Micro Devices X86-64' class=ELF64 ;;
    armhf) machine='ARM' class=ELF32 ;;
    *) fail "no machine known for $arch" ;;
esac
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
objects=0
for deb in "$runtime" "$dev"; do
    dpkg-deb -x "$deb" "$tree"
done
while IFS= read -r -d '' file; do
    case $(file -b "$file") in
        ELF*|*"ar archive"*) ;;
        *) continue ;;
    esac
    headers=$("$QN_READELF" -h "$file")
    count=$(grep -c '^ *Machine:' <<<"$headers")
    right=$(grep -c "^ *Machine: *$machine\$" <<<"$headers" || true)
    [ "$count" = "$right" ] || fail "${file#"$tree"/}: $((count - right)) of $count objects not for $arch"
    grep '^ *Class:' <<<"$headers" | grep -qv "$class" && fail "${file#"$tree"/}: not $class"
    objects=$((objects + count))
done < <(find "$tree" -type f -print0)
[ "$objects" -gt 0 ] || fail "no object in the packages"
echo "packages for $arch: boardkit ($depends), boardkit-dev; $objects objects, all for $arch"
