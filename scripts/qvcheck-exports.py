#!/usr/bin/env python3
"""Compares what a shared library exports with what public headers declare.

Usage: qvcheck-exports.py [--promised LIST] LIBRARY HEADER...

The headers are preprocessed as C; every declaration that is not a typedef
and declares a function names one function. The dynamic symbols the library
defines (nm -D --defined-only, code and data) must be exactly those names:
a declared function the library lacks and an export no header declares both
fail the check.

A call missing from the headers and the exports alike passes that
comparison; LIST names the calls the library promises (one a line, # starts
a comment line), and each of them must be both declared and exported.
"""

import re
import subprocess
import sys

KEYWORDS = {"__attribute__", "__typeof__", "sizeof", "visibility"}


def declared_functions(header):
    text = subprocess.run(["cc", "-E", "-P", "-x", "c", header], capture_output=True, text=True,
                          check=True).stdout
    text = re.sub(r"#pragma[^\n]*", "", text)
    names = set()
    for declaration in text.split(";"):
        declaration = declaration.strip()
        # Bodies of struct and enum definitions end in the declaration that follows them.
        declaration = declaration[declaration.rfind("}") + 1:].strip()
        if not declaration or declaration.startswith("typedef"):
            continue
        depth = 0
        for match in re.finditer(r"[A-Za-z_]\w*|[()]", declaration):
            token = match.group(0)
            if token == "(":
                depth += 1
            elif token == ")":
                depth -= 1
            elif depth == 0 and token not in KEYWORDS:
                rest = declaration[match.end():].lstrip()
                if rest.startswith("("):
                    names.add(token)
                    break
    return names


def exported(library):
    out = subprocess.run(["nm", "-D", "--defined-only", library], capture_output=True, text=True,
                         check=True).stdout
    names = set()
    for line in out.splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[1] in "TtWwDdBbRrVvi":
            names.add(fields[2].split("@")[0])
    return names


def promised_calls(path):
    names = set()
    with open(path) as listing:
        for line in listing:
            line = line.strip()
            if line and not line.startswith("#"):
                names.add(line)
    return names


def main():
    args = sys.argv[1:]
    promised = set()
    if len(args) >= 2 and args[0] == "--promised":
        promised = promised_calls(args[1])
        args = args[2:]
    if len(args) < 2:
        print(__doc__)
        return 2
    declared = set()
    for header in args[1:]:
        declared |= declared_functions(header)
    found = exported(args[0])
    missing = sorted(declared - found)
    extra = sorted(found - declared)
    broken = sorted(promised - (declared & found))
    for name in missing:
        print("declared but not exported: %s" % name)
    for name in extra:
        print("exported but not declared: %s" % name)
    for name in broken:
        if name not in declared and name not in found:
            print("promised but neither declared nor exported: %s" % name)
        else:
            print("promised but not %s: %s" % ("declared" if name not in declared else "exported", name))
    print("%d functions declared, %d symbols exported, %d calls promised" % (len(declared), len(found),
                                                                              len(promised)))
    return 1 if missing or extra or broken else 0


if __name__ == "__main__":
    sys.exit(main())
