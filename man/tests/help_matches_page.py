#!/usr/bin/env python3
"""The options that spectrum-analyser --help lists and those of the OPTIONS
section of its manual page must be the same, in the same order, with the
same words. usage: help_matches_page.py PROGRAM PAGE"""
import re
import subprocess
import sys


def help_options(program):
    text = subprocess.run([program, "--help"], check=True, capture_output=True,
                          text=True).stdout
    options = []
    in_options = False
    for line in text.splitlines():
        if line == "Options:":
            in_options = True
        elif in_options and (m := re.match(r"  (\S.*?)\s{2,}(\S.*)$", line)):
            options.append([m[1], m[2]])
        elif in_options and options and re.match(r"\s{3,}\S", line):
            options[-1][1] += " " + line.strip()
        elif in_options and line.strip():
            sys.exit(f"--help: unexpected line in Options: {line!r}")
    return [(tag, " ".join(desc.split())) for tag, desc in options]


def plain(roff):
    """Text of a line of roff, font changes dropped."""
    roff = re.sub(r"\\f[BIRP]", "", roff)
    return roff.replace(r"\-", "-").replace(r"\e", "\\").replace(r"\(dq", '"')


def page_options(page):
    section = None
    options = []
    current = None
    for line in open(page, encoding="utf-8"):
        line = line.rstrip("\n")
        if line.startswith(".SH "):
            section = line[4:].strip('"')
            current = None
            continue
        if section != "OPTIONS":
            continue
        if line == ".TP":
            current = []
            options.append(current)
        elif line.startswith((".PP", ".P ", ".LP")):
            current = None
        elif current is not None:
            current.append(plain(line))
    result = []
    for lines in options:
        if not lines or lines[0].startswith("."):
            sys.exit(f"{page}: an option tag is not a plain text line: {lines[:1]}")
        result.append((lines[0], " ".join(" ".join(lines[1:]).split())))
    return result


def main():
    program, page = sys.argv[1:3]
    in_help, in_page = help_options(program), page_options(page)
    if not in_help:
        sys.exit("--help lists no options")
    if in_help == in_page:
        print(f"{len(in_help)} options, same in --help and {page}")
        return
    for where, options, others in (("--help", in_help, in_page), (page, in_page, in_help)):
        for option in options:
            if option not in others:
                print(f"only in {where}: {option[0]}: {option[1]}")
    if sorted(in_help) == sorted(in_page):
        print("the options are listed in another order")
    sys.exit(1)


main()
