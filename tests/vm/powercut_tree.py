#!/usr/bin/python3
"""Trees for the power-cut test.

make OLD NEW: an installed tree and a staged one; most staged files replace
    an installed file with other content of another length, some are new,
    some lie in folders that are new.
check TREE LABEL CUT: after a cut and the recovery, the installed tree must
    be entirely the old one or entirely the new one (the new one when the
    update was not cut: "none"; CUT "old" or "new" wants that one), with no
    temporary file and no journal or journal data left;
    prints result lines and "VMTEST STATE old|new|mixed".
"""
import os
import sys

DIRS, FILES, NEW_DIRS, NEW_FILES = 32, 12, 3, 4


def content(tag, rel, size):
    unit = f"{tag} {rel} ".encode()
    return (unit * (size // len(unit) + 1))[:size]


def layout():
    """(path, old size or None when the file is new, new size)"""
    for d in range(DIRS):
        for f in range(FILES):
            rel = f"d{d:02}/f{f:02}.bin"
            size = 4096 + ((d * FILES + f) * 7919) % (400 * 1024)
            installed = (d * FILES + f) % 7 != 3
            yield rel, size if installed else None, size * 2 // 3 + 1001
    for d in range(NEW_DIRS):
        for f in range(NEW_FILES):
            yield f"new{d}/sub/g{f}.bin", None, 20000 + 3001 * f


def write(root, rel, data):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)


def make(old, new):
    for rel, old_size, new_size in layout():
        if old_size is not None:
            write(old, rel, content("old", rel, old_size))
        write(new, rel, content("NEW", rel, new_size))


def state_of(tree, rel, old_size, new_size):
    path = os.path.join(tree, rel)
    if not os.path.exists(path):
        return "absent"
    with open(path, "rb") as f:
        data = f.read()
    if old_size is not None and data == content("old", rel, old_size):
        return "old"
    if data == content("NEW", rel, new_size):
        return "new"
    return f"damaged ({len(data)} bytes)"


def check(tree, label, cut):
    files = list(layout())
    states = {rel: state_of(tree, rel, old, new) for rel, old, new in files}
    as_old = all(states[rel] == ("old" if old is not None else "absent")
                 for rel, old, _ in files)
    as_old = as_old and not any(os.path.exists(os.path.join(tree, f"new{d}"))
                                for d in range(NEW_DIRS))
    as_new = all(s == "new" for s in states.values())
    temporary = [os.path.join(d, f) for d, _, names in os.walk(tree)
                 for f in names if f.startswith(".updater-")]
    journal = [n for n in ("journal", "data")
               if os.path.exists(os.path.join(tree, ".updater", n))]
    counts = {}
    for s in states.values():
        key = s.split()[0]
        counts[key] = counts.get(key, 0) + 1
    summary = " ".join(f"{k}={v}" for k, v in sorted(counts.items()))
    summary += f" temporary={len(temporary)}"
    state = "new" if as_new else "old" if as_old else "mixed"
    wanted = {"none": ("new",), "new": ("new",), "old": ("old",)}.get(cut, ("old", "new"))
    if state in wanted:
        print(f"VMTEST PASS {label}: whole tree {state} ({summary})")
    else:
        odd = [f"{rel}: {s}" for rel, s in states.items() if s not in ("old", "new")]
        print(f"VMTEST FAIL {label}: tree is {state} ({summary}): " + "; ".join(odd[:4]))
    if temporary or journal:
        print(f"VMTEST FAIL {label}: left behind: "
              + "; ".join(temporary[:4] + journal))
    else:
        print(f"VMTEST PASS {label}: no temporary file, no journal")
    print(f"VMTEST STATE {state}")


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(sys.argv[2], sys.argv[3])
    else:
        check(sys.argv[2], sys.argv[3], sys.argv[4])
