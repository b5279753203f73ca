#!/usr/bin/env python3
"""Checks the export table and the imports of the add-on module (a Windows DLL).

Every export must be one of the expected names, undecorated, and every expected name must
be exported. In a 32-bit DLL every ret of each exported function must remove the expected
number of argument bytes (__stdcall). The DLL may import system DLLs only.

usage: check_exports.py [--objdump PROGRAM] MODULE.dll
"""

import argparse
import re
import subprocess
import sys

# Export name -> argument bytes that the callee removes (32-bit __stdcall).
REQUIRED_EXPORTS = {
    "QBAddOnName": 8,
    "QBAddOnCanUnload": 0,
    "QBAddOnConfigure": 4,
    "QBAddOnProfileNameChange": 8,
    "QBAddOnProfileDeleted": 4,
    "QBAddOnSessionCreate": 8,
    "QBAddOnConnectionStart": 12,
    "QBAddOnFileDownloaded": 16,
    "QBAddOnFileUploaded": 16,
    "QBAddOnFileDeleted": 12,
    "QBAddOnFileRenamed": 16,
    "QBAddOnDirCreated": 12,
    "QBAddOnDirDeleted": 12,
    "QBAddOnConnectionEnd": 8,
    "QBAddOnSessionDestroy": 4,
    "QBAddOnLogCommand": 8,
    "QBAddOnLogResponse": 8,
    "QBAddOnLogStatus": 12,
    "QBAddOnInstall": 4,
    "QBAddOnUninstall": 8,
}

# DLLs that every Windows system has; anything else (the compiler's run-time DLLs above all)
# would have to ship with the module.
SYSTEM_DLLS = {
    "advapi32.dll", "comctl32.dll", "comdlg32.dll", "crypt32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll",
    "ntdll.dll", "ole32.dll", "oleaut32.dll", "secur32.dll", "shell32.dll", "shlwapi.dll", "ucrtbase.dll",
    "user32.dll", "version.dll", "ws2_32.dll", "wsock32.dll",
}

LABEL = re.compile(r"^([0-9a-f]+) <(.+)>:$")
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s+(.*)$")
RET = re.compile(r"^(?:(?:repz|rep|bnd)\s+)?ret[lw]?(?:\s+\$0x([0-9a-f]+))?\s*$")
DIRECT_JUMP = re.compile(r"^jmp\s+[0-9a-f]+ <([^>+]+)>\s*$")


def run(objdump, *args):
    result = subprocess.run([objdump, *args], check=True, stdout=subprocess.PIPE, text=True, errors="replace")
    return result.stdout


class PrivateHeaders:
    """What `objdump -p` tells: format, image base, exports (name -> RVA) and imported DLLs."""

    def __init__(self, text):
        self.is_32bit = "file format pei-i386" in text
        match = re.search(r"^ImageBase\s+([0-9a-fA-F]+)", text, re.M)
        self.image_base = int(match.group(1), 16) if match else 0
        self.dlls = re.findall(r"^\s*DLL Name: (\S+)", text, re.M)
        self.exports = self._exports(text)

    @staticmethod
    def _exports(text):
        addresses = {}
        section = None
        exports = {}
        for line in text.splitlines():
            if line.startswith("Export Address Table --"):
                section = "addresses"
            elif line.startswith("[Ordinal/Name Pointer] Table"):
                section = "names"
            elif not line.strip():
                if section == "names":
                    break
            elif section == "addresses":
                match = re.match(r"^\s*\[\s*(\d+)\]\s+\+base\[\s*\d+\]\s+([0-9a-f]+)\s+(\w+) RVA", line)
                if match:
                    addresses[int(match.group(1))] = (int(match.group(2), 16), match.group(3))
            elif section == "names":
                match = re.match(r"^\s*\[\s*(\d+)\]\s+(\S+)\s*$", line)
                if match:
                    exports[match.group(2)] = addresses.get(int(match.group(1)), (None, "Missing"))
        return exports


class Disassembly:
    """The functions of `objdump -d`, each a list of instruction texts, by start address and name."""

    def __init__(self, text):
        self.by_address = {}
        self.by_name = {}
        current = None
        for line in text.splitlines():
            label = LABEL.match(line)
            if label:
                current = []
                self.by_address.setdefault(int(label.group(1), 16), label.group(2))
                self.by_name[label.group(2)] = current
                continue
            instruction = INSTRUCTION.match(line)
            if instruction and current is not None:
                current.append(instruction.group(2).strip())

    def parts(self, name):
        """The instructions of a function and of the parts the compiler split off it (.cold)."""
        lines = list(self.by_name.get(name, []))
        for other, body in self.by_name.items():
            if other.startswith(name + ".cold"):
                lines += body
        return lines

    def popped_bytes(self, name, seen=None):
        """Argument bytes removed by each ret of `name` and of the functions it tail-calls."""
        seen = set() if seen is None else seen
        if name in seen:
            return set()
        seen.add(name)
        popped = set()
        for instruction in self.parts(name):
            ret = RET.match(instruction)
            if ret:
                popped.add(int(ret.group(1) or "0", 16))
                continue
            jump = DIRECT_JUMP.match(instruction)
            if jump and jump.group(1) in self.by_name and not jump.group(1).startswith(name + "."):
                popped |= self.popped_bytes(jump.group(1), seen)
        return popped


def check(module, objdump):
    errors = []
    headers = PrivateHeaders(run(objdump, "-p", module))
    expected = REQUIRED_EXPORTS

    for name in sorted(headers.exports):
        if "@" in name or name.startswith("_"):
            errors.append(f"decorated export name: {name}")
        elif name not in expected:
            errors.append(f"unexpected export: {name}")
    for name in sorted(set(REQUIRED_EXPORTS) - set(headers.exports)):
        errors.append(f"missing export: {name}")

    for dll in headers.dlls:
        if dll.lower() not in SYSTEM_DLLS:
            errors.append(f"imports a DLL that is not part of Windows: {dll}")

    if headers.is_32bit:
        disassembly = Disassembly(run(objdump, "-d", "--no-show-raw-insn", module))
        for name, (rva, kind) in sorted(headers.exports.items()):
            if name not in expected:
                continue
            if rva is None or kind != "Export":
                errors.append(f"{name}: not an exported function ({kind})")
                continue
            function = disassembly.by_address.get(headers.image_base + rva)
            if function is None:
                errors.append(f"{name}: no symbol at its address (is the DLL stripped?)")
                continue
            popped = disassembly.popped_bytes(function)
            if popped != {expected[name]}:
                found = ", ".join(str(n) for n in sorted(popped)) or "no ret"
                errors.append(f"{name}: removes {found} argument bytes, expected {expected[name]}")
            else:
                print(f"ok  {name:28} ret {expected[name]}")

    print(f"{module}: {len(headers.exports)} exports; imports {', '.join(headers.dlls) or 'nothing'}")
    return errors


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    parser.add_argument("module")
    args = parser.parse_args()
    try:
        errors = check(args.module, args.objdump)
    except (OSError, subprocess.CalledProcessError) as error:
        errors = [str(error)]
    for error in errors:
        print(f"FAIL {error}", file=sys.stderr)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
