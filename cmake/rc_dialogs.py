#!/usr/bin/env python3
"""Compiles the dialog templates of a resource script, and their dialog-initialisation data
(the initial lists of combo boxes, resource type 240), into a C++ table.

Usage: rc_dialogs.py <script.rc> <output.cpp> [include directory]...
(the rules of the script: cmake/rc_script.py)

Each control keeps its id, its kind (an edit with ES_PASSWORD is a password edit) and its text,
in the template's order (the tab order). The
initialisation data is kept byte for byte as the resource compiler stores it; every byte count
in it must match the Windows-1252 bytes of the string it announces.
"""
import re
import sys

from rc_script import Script, c_literal, fail, tokens, write_source

# Statement -> (kind, whether it starts with a text)
STATEMENTS = {
    "LTEXT": ("kStatic", True),
    "CTEXT": ("kStatic", True),
    "RTEXT": ("kStatic", True),
    "PUSHBUTTON": ("kButton", True),
    "DEFPUSHBUTTON": ("kDefaultButton", True),
    "EDITTEXT": ("kEdit", False),
    "COMBOBOX": ("kComboBox", False),
}
LIST_MESSAGES = {0x401, 0x403, 0x180, 0x143}  # add a string to a list box or combo box


def word(item, what):
    if item[0] != "word":
        fail(f"expected {what}, found a string")
    return item[1]


def parse_control(script, dialog, line):
    keyword, _, rest = line.strip().partition(" ")
    items = tokens(rest)
    if keyword == "CONTROL":
        text, ident, cls, style = items[0], items[1], items[2], items[3]
        if cls[0] != "str" or cls[1].lower() != b"static":
            fail(f"dialog {dialog}: CONTROL of class {cls[1]!r} is not supported")
        kind = "kLine" if "SS_ETCHEDHORZ" in word(style, "a style") else "kStatic"
        return script.ident(word(ident, "an id")), kind, text[1]
    if keyword not in STATEMENTS:
        fail(f"dialog {dialog}: unsupported statement {keyword}")
    kind, has_text = STATEMENTS[keyword]
    if kind == "kEdit" and any(item[0] == "word" and "ES_PASSWORD" in re.split(r"[\s|]+", item[1]) for item in items):
        kind = "kPasswordEdit"
    text = items.pop(0)[1] if has_text else b""
    return script.ident(word(items[0], "an id")), kind, text


def parse_dialogs(script):
    dialogs = {}
    for m, head, body in script.blocks(r"\w+\s+DIALOGEX?\b"):
        ident = script.ident(m.group(0).split()[0])
        caption = re.search(r'^CAPTION\s+"((?:[^"]|"")*)"', head, re.M)
        caption = tokens('"' + caption.group(1) + '"')[0][1] if caption else b""
        controls = [parse_control(script, ident, line) for line in body.splitlines() if line.strip()]
        dialogs[ident] = (caption, controls)
    return dialogs


def parse_init_data(script):
    data = {}
    for m, _, body in script.blocks(r"\w+\s+240\b"):
        ident = script.ident(m.group(0).split()[0])
        items = tokens(body)
        blob = bytearray()
        i = 0
        while i < len(items):
            control = script.ident(word(items[i], "a control id"))
            blob += control.to_bytes(2, "little", signed=False)
            if control == 0:
                if i != len(items) - 1:
                    fail(f"init data {ident}: entries after the closing 0")
                break
            message, length, text = items[i + 1:i + 4]
            message = script.ident(word(message, "a message"))
            declared = word(length, "a byte count")
            if not declared.endswith("L"):
                fail(f"init data {ident}: the byte count {declared} must be a 32-bit number (L)")
            if text[0] != "str" or script.ident(declared) != len(text[1]):
                fail(f"init data {ident}: byte count {declared} does not match {text[1]!r} ({len(text[1])} bytes)")
            if message in LIST_MESSAGES and not text[1].endswith(b"\0"):
                fail(f"init data {ident}: list item {text[1]!r} lacks its terminating \\0")
            blob += message.to_bytes(2, "little") + len(text[1]).to_bytes(4, "little") + text[1]
            i += 4
        else:
            fail(f"init data {ident}: missing the closing 0")
        data[ident] = bytes(blob)
    return data


def main():
    rc, output = sys.argv[1:3]
    script = Script(rc, sys.argv[3:])
    dialogs = parse_dialogs(script)
    init_data = parse_init_data(script)
    for ident in init_data:
        if ident not in dialogs:
            fail(f"init data {ident} belongs to no dialog")
    body = ["namespace {", ""]
    for ident, (_, controls) in sorted(dialogs.items()):
        body.append(f"const ControlTemplate kControls{ident}[] = {{")
        for control, kind, text in controls:
            body.append(f"    {{{control}, ControlKind::{kind}, {c_literal(text)}}},")
        body.append("};")
    body += ["", "}  // namespace", "", "const DialogTemplate kDialogTemplates[] = {"]
    for ident, (caption, controls) in sorted(dialogs.items()):
        blob = init_data.get(ident, b"")
        body.append(f"    {{{ident}, {c_literal(caption)}, kControls{ident}, {len(controls)}, "
                    f"{c_literal(blob)}, {len(blob)}}},")
    body += ["};", "", "const std::size_t kDialogTemplateCount = sizeof(kDialogTemplates) / sizeof(kDialogTemplates[0]);"]
    write_source(output, "rc_dialogs.py", "framework/dialog_template.h", body)

if __name__ == "__main__":
    main()
