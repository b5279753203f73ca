#!/usr/bin/env python3
"""Compiles the STRINGTABLE blocks of a resource script into a C++ table.

Usage: rc_string_table.py <script.rc> <output.cpp> [include directory]...
(the rules of the script: cmake/rc_script.py)
"""
import re
import sys

from rc_script import Script, c_literal, decode_literal, fail, write_source


def parse_strings(script):
    strings = {}
    for _, _, body in script.blocks(r"STRINGTABLE\b"):
        for m in re.finditer(r'^\s*(\w+)\s*,?\s*"((?:[^"]|"")*)"\s*$', body, re.M):
            ident = script.ident(m.group(1))
            if ident in strings:
                fail(f"duplicate string id {ident}")
            strings[ident] = decode_literal(m.group(2))
    return strings


def main():
    rc, output = sys.argv[1:3]
    strings = parse_strings(Script(rc, sys.argv[3:]))
    body = ["const StringTableEntry kStringTable[] = {"]
    for ident in sorted(strings):
        body.append(f"    {{{ident}, {c_literal(strings[ident])}, {len(strings[ident])}}},")
    body += ["};", "", "const std::size_t kStringTableSize = sizeof(kStringTable) / sizeof(kStringTable[0]);"]
    write_source(output, "rc_string_table.py", "framework/string_table.h", body)

if __name__ == "__main__":
    main()
