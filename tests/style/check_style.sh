#!/usr/bin/env bash
# scripts/check-style on a throwaway repository: it passes a tree in the
# house style, names each file that is not (layout, missing or misnamed
# guard) and fails, leaves third_party/ alone, and scripts/format brings the
# tree into the house style.
# usage: check_style.sh SOURCE_DIR
set -euo pipefail

top=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
git init -q .
mkdir -p scripts third_party mod/include mod/src mod/tests
cp "$top/scripts/check-style" "$top/scripts/format" scripts/
cp "$top/.clang-format" .
printf '/third_party/\n' >.gitignore

printf '#ifndef QN_MOD_H\n#define QN_MOD_H\n\nint mod_answer(void);\n\n#endif\n' >mod/include/mod.h
printf '#ifndef QN_MOD_TWICE_H\n#define QN_MOD_TWICE_H\n\nint twice(int x);\n\n#endif\n' >mod/src/twice.h
printf '#include "twice.h"\n\nint twice(int x)\n{\n    const int y = x;\n    return 2 * y;\n}\n' >mod/src/twice.cpp
printf 'int vendored(){return 0;}\n' >third_party/vendored.cpp

fail() {
    echo "FAIL: $*"
    exit 1
}

scripts/check-style >out 2>&1 || { cat out; fail "a tree in the house style was refused"; }

printf 'int thrice(int x) {return 3*x;}\n' >>mod/src/twice.cpp
printf '#pragma once\n\nstruct Helper {};\n' >mod/tests/helper.h
printf '#ifndef QN_OTHER_H\n#define QN_OTHER_H\n\nint other();\n\n#endif  // QN_OTHER_H\n' >mod/src/other.h
printf '#pragma once\n\nint mod_more(void);\n' >mod/include/more.h
if scripts/check-style >out 2>&1; then
    cat out
    fail "check-style passed a tree with faults"
fi
cat out
grep -q '^mod/src/twice.cpp: not formatted' out || fail "unformatted twice.cpp not named"
grep -q '^mod/tests/helper.h: no include guard QN_MOD_TESTS_HELPER_H' out || fail "helper.h not named"
grep -q '^mod/src/other.h: include guard QN_OTHER_H, should be QN_MOD_OTHER_H' out ||
    fail "misnamed guard not named"
grep -q '^mod/include/more.h: no QN_..._H include guard' out || fail "unguarded public header not named"
grep -q -e 'vendored' -e 'mod/include/mod.h' -e 'twice.h' out && fail "a file in order was named"

# A public header's guard is its author's choice: --fix leaves it alone.
printf '#ifndef QN_MOD_MORE_H\n#define QN_MOD_MORE_H\n\nint mod_more(void);\n\n#endif\n' >mod/include/more.h
scripts/format >out 2>&1 || { cat out; fail "scripts/format failed"; }
scripts/check-style >out 2>&1 || { cat out; fail "the formatted tree was refused"; }
grep -q '^#endif  // QN_MOD_OTHER_H$' mod/src/other.h || fail "guard renamed only in part"
[ "$(grep -c QN_MOD_TESTS_HELPER_H mod/tests/helper.h)" = 2 ] || fail "helper.h guard not written"
[ "$(tail -n 1 mod/tests/helper.h)" = "#endif" ] || fail "helper.h guard not closed"
[ "$(cat third_party/vendored.cpp)" = 'int vendored(){return 0;}' ] || fail "third_party/ was formatted"
echo "check-style: all checks passed"
