#!/usr/bin/env python3
"""Compiles the STRINGTABLE blocks of a resource script into a C++ table.

Usage: rc_string_table.py <script.rc> <resource.h> <output.cpp>

The script is Windows-1252 text. String literals follow the resource compiler's rules:
"" stands for one quotation mark, and the escapes \\r \\n \\t \\\\ \\" and \\xNN are decoded.
Ids are numbers or names #defined in resource.h.
"""
import re
import sys


def read_defines(path):
    defines = {}
    for line in open(path, encoding="cp1252"):
        m = re.match(r"\s*#define\s+(\w+)\s+\(?(-?\d+)\)?\s*$", line)
        if m:
            defines[m.group(1)] = int(m.group(2))
    return defines


def decode_literal(body):
    out = bytearray()
    i = 0
    while i < len(body):
        c = body[i]
        if c == '"' and body[i + 1:i + 2] == '"':
            out += b'"'
            i += 2
        elif c == "\\" and i + 1 < len(body):
            n = body[i + 1]
            simple = {"r": b"\r", "n": b"\n", "t": b"\t", "\\": b"\\", '"': b'"', "a": b"\a", "0": b"\0"}
            if n == "x":
                m = re.match(r"[0-9a-fA-F]{1,2}", body[i + 2:])
                out.append(int(m.group(0), 16))
                i += 2 + len(m.group(0))
            elif n in simple:
                out += simple[n]
                i += 2
            else:
                out += c.encode("cp1252")
                i += 1
        else:
            out += c.encode("cp1252")
            i += 1
    return bytes(out)


def parse_strings(path, defines):
    text = open(path, encoding="cp1252").read()
    strings = {}
    for block in re.finditer(r"^STRINGTABLE\b.*?^BEGIN\s*$(.*?)^END\s*$", text, re.S | re.M):
        for m in re.finditer(r'^\s*(\w+)\s*,?\s*"((?:[^"]|"")*)"\s*$', block.group(1), re.M):
            key = m.group(1)
            ident = int(key) if key.isdigit() else defines[key]
            if ident in strings:
                sys.exit(f"duplicate string id {ident}")
            strings[ident] = decode_literal(m.group(2))
    return strings


def c_literal(data):
    return '"' + "".join(
        chr(b) if 0x20 <= b < 0x7F and chr(b) not in '"\\?' else f'\\{b:03o}' for b in data) + '"'


def main():
    rc, header, output = sys.argv[1:4]
    strings = parse_strings(rc, read_defines(header))
    lines = [
        "// Generated from the resource script by cmake/rc_string_table.py; do not edit.",
        '#include "framework/string_table.h"',
        "",
        "namespace fw::detail {",
        "",
        "const StringTableEntry kStringTable[] = {",
    ]
    for ident in sorted(strings):
        lines.append(f"    {{{ident}, {c_literal(strings[ident])}, {len(strings[ident])}}},")
    lines += [
        "};",
        "",
        "const std::size_t kStringTableSize = sizeof(kStringTable) / sizeof(kStringTable[0]);",
        "",
        "}  // namespace fw::detail",
        "",
    ]
    with open(output, "w", encoding="ascii", newline="\n") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    main()
