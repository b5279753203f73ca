"""Reading a resource script (.rc) the way the resource compiler does, for the generators that
turn its resources into C++ tables for builds without native resources.

The script is Windows-1252 text. Ids are numbers or names #defined in the headers that the
script #includes with quotes (searched beside the script, then in the include directories);
IDOK and IDCANCEL are the system's. String literals follow the resource compiler's rules: ""
stands for one quotation mark, and the escapes \\r \\n \\t \\\\ \\" \\0 and \\xNN are decoded.
"""
import os
import re
import sys

SYSTEM_IDS = {"IDOK": 1, "IDCANCEL": 2, "IDABORT": 3, "IDRETRY": 4, "IDIGNORE": 5, "IDYES": 6, "IDNO": 7}


def fail(message):
    sys.exit(f"rc: {message}")


class Script:
    def __init__(self, path, include_dirs):
        self.path = path
        self.text = open(path, encoding="cp1252").read()
        self.defines = dict(SYSTEM_IDS)
        search = [os.path.dirname(os.path.abspath(path))] + list(include_dirs)
        for name in re.findall(r'^\s*#include\s+"([^"]+)"', self.text, re.M):
            header = next((os.path.join(d, name) for d in search if os.path.isfile(os.path.join(d, name))), None)
            if header is None:
                fail(f"{path}: cannot find {name}")
            self._read_defines(header)

    def _read_defines(self, header):
        for line in open(header, encoding="cp1252"):
            m = re.match(r"\s*#define\s+(\w+)\s+\(?(-?(?:0x[0-9a-fA-F]+|\d+))\)?\s*(?://.*)?$", line)
            if m:
                self.defines[m.group(1)] = int(m.group(2), 0)

    def ident(self, token):
        """The number of an id token (a number or a #defined name)."""
        if re.fullmatch(r"-?(0x[0-9a-fA-F]+|\d+)L?", token):
            return int(token.rstrip("L"), 0)
        if token not in self.defines:
            fail(f"{self.path}: unknown id {token}")
        return self.defines[token]

    def blocks(self, header_pattern):
        """(header match, body) of every block whose first line matches header_pattern."""
        pattern = r"^(?:" + header_pattern + r")[^\n]*\n(?P<head>.*?)^BEGIN\s*$(?P<body>.*?)^END\s*$"
        for m in re.finditer(pattern, self.text, re.S | re.M):
            yield m, m.group("head"), m.group("body")


def decode_literal(body):
    """The bytes of a string literal's body (without its enclosing quotes)."""
    out = bytearray()
    simple = {"r": b"\r", "n": b"\n", "t": b"\t", "\\": b"\\", '"': b'"', "a": b"\a", "0": b"\0"}
    i = 0
    while i < len(body):
        c = body[i]
        if c == '"' and body[i + 1:i + 2] == '"':
            out += b'"'
            i += 2
        elif c == "\\" and i + 1 < len(body):
            n = body[i + 1]
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


TOKEN = re.compile(r'\s*(?:"((?:[^"]|"")*)"|([^\s,"|]+(?:\s*\|\s*[^\s,"|]+)*)|(,))')


def tokens(text):
    """Comma-separated items of a resource statement: ("str", bytes) or ("word", text).
    Words joined by | stay one item (a style expression)."""
    items = []
    pos = 0
    text = re.sub(r"//[^\n]*", "", text)
    while pos < len(text):
        if text[pos:].strip() == "":
            break
        m = TOKEN.match(text, pos)
        if not m:
            fail(f"cannot read: {text[pos:pos + 40]!r}")
        pos = m.end()
        if m.group(1) is not None:
            items.append(("str", decode_literal(m.group(1))))
        elif m.group(2) is not None:
            items.append(("word", m.group(2)))
    return items


def c_literal(data):
    """A C++ string literal holding exactly `data`."""
    return '"' + "".join(
        chr(b) if 0x20 <= b < 0x7F and chr(b) not in '"\\?' else f'\\{b:03o}' for b in data) + '"'


def write_source(output, generator, header, body):
    """Writes a generated C++ source: `body` (lines) inside namespace fw::detail, after the
    include of `header` and a line that names `generator` (the script's file name)."""
    lines = [f"// Generated from the resource script by cmake/{generator}; do not edit.", f'#include "{header}"', "",
             "namespace fw::detail {", "", *body, "", "}  // namespace fw::detail", ""]
    with open(output, "w", encoding="ascii", newline="\n") as f:
        f.write("\n".join(lines))
