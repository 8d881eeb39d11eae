#!/usr/bin/python3
"""Trees for the power-cut test.

make OLD NEW: an installed tree and a staged one; most staged files replace
    an installed file with other content of another length, some are new.
check TREE LABEL CUT: every file of the installed tree after the cut
    must hold exactly its old or its new content, and all the new one when
    the update was not cut ("none"); prints result lines and the counts
    that show where the cut landed.
"""
import os
import sys

DIRS, FILES = 32, 12


def content(tag, rel, size):
    unit = f"{tag} {rel} ".encode()
    return (unit * (size // len(unit) + 1))[:size]


def layout():
    for d in range(DIRS):
        for f in range(FILES):
            rel = f"d{d:02}/f{f:02}.bin"
            size = 4096 + ((d * FILES + f) * 7919) % (400 * 1024)
            yield rel, size, (d * FILES + f) % 7 != 3


def write(root, rel, data):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)


def make(old, new):
    for rel, size, installed in layout():
        if installed:
            write(old, rel, content("old", rel, size))
        write(new, rel, content("NEW", rel, size * 2 // 3 + 1001))


def check(tree, label, cut):
    counts = {"old": 0, "new": 0, "absent": 0}
    bad = []
    for rel, size, installed in layout():
        path = os.path.join(tree, rel)
        if not os.path.exists(path):
            counts["absent"] += 1
            if installed:
                bad.append(f"{rel} lost")
            continue
        with open(path, "rb") as f:
            data = f.read()
        if installed and data == content("old", rel, size):
            counts["old"] += 1
        elif data == content("NEW", rel, size * 2 // 3 + 1001):
            counts["new"] += 1
        else:
            bad.append(f"{rel} holds {len(data)} bytes of neither version")
    temporary = sum(len([f for f in files if f.startswith(".")])
                    for _, _, files in os.walk(tree))
    summary = " ".join(f"{k}={v}" for k, v in counts.items()) + f" temporary={temporary}"
    if bad:
        print(f"VMTEST FAIL {label}: {len(bad)} damaged files ({summary}): "
              + "; ".join(bad[:5]))
    else:
        print(f"VMTEST PASS {label}: every file old or new ({summary})")
    if cut == "none":
        complete = counts["new"] == sum(1 for _ in layout())
        print(f"VMTEST {'PASS' if complete else 'FAIL'} {label}: whole tree installed")
    print(f"VMTEST COUNTS {counts['old']} {counts['new']}")


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(sys.argv[2], sys.argv[3])
    else:
        check(sys.argv[2], sys.argv[3], sys.argv[4])
