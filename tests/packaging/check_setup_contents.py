#!/usr/bin/env python3
"""Checks what a setup program built by packaging/QBNotifyAddOn.nsi carries, without running it.

The setup is an NSIS installer compressed as one LZMA stream (SetCompressor /SOLID lzma). After
the stub, at a 512-byte boundary, comes the first header (flags, 0xDEADBEEF, "NullsoftInst",
header length, length of everything from the first header on), then the stream: the
installer's header and every embedded file, each as a 32-bit length and its bytes; the last
four bytes of the file are a CRC-32 of everything after the first 512 bytes.

Checked: the CRC; the setup program and every program embedded in it (module, plug-ins) are
built for the expected machine; each --file is embedded whole and byte for byte, and its name
is in the installer's strings.

  check_setup_contents.py --machine x86|x64 --file QBNotifyAddOn.dll --file QBNotifyAddOn.htm setup.exe
"""
import argparse
import lzma
import os
import struct
import sys
import zlib

MACHINES = {"x86": 0x014C, "x64": 0x8664}
SIGNATURE = b"\xef\xbe\xad\xdeNullsoftInst"


def pe_machine(image):
    """The machine of a PE image, or None when `image` is not one."""
    if image[:2] != b"MZ" or len(image) < 0x40:
        return None
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", image, pe + 4)[0]


def unpack(setup):
    """The installer's header and the embedded data blocks, in order."""
    at = setup.find(SIGNATURE) - 4
    while at >= 0 and at % 512:
        at = setup.find(SIGNATURE, at + 5) - 4
    if at < 0:
        raise ValueError("no NSIS first header at a 512-byte boundary")
    header_length, total = struct.unpack_from("<ii", setup, at + 20)
    if at + total != len(setup):
        raise ValueError(f"the data end at {at + total}, the file at {len(setup)}")
    if zlib.crc32(setup[512:-4]) != struct.unpack("<I", setup[-4:])[0]:
        raise ValueError("CRC mismatch")
    stream = setup[at + 28:-4]
    properties, dictionary = stream[0], struct.unpack_from("<I", stream, 1)[0]
    lc, rest = properties % 9, properties // 9
    decoder = lzma.LZMADecompressor(lzma.FORMAT_RAW, filters=[{
        "id": lzma.FILTER_LZMA1, "dict_size": dictionary, "lc": lc, "lp": rest % 5, "pb": rest // 5}])
    data = decoder.decompress(stream[5:])
    blocks, offset = [], 0
    while offset < len(data):
        length = struct.unpack_from("<I", data, offset)[0]
        blocks.append(data[offset + 4:offset + 4 + length])
        offset += 4 + length
    if offset != len(data) or len(blocks[0]) != header_length:
        raise ValueError("the stream is not a header followed by length-prefixed blocks")
    return blocks[0], blocks[1:]


def check(setup_path, machine, files):
    with open(setup_path, "rb") as f:
        setup = f.read()
    problems = []
    if pe_machine(setup) != MACHINES[machine]:
        problems.append(f"the setup program is not built for {machine}")
    header, blocks = unpack(setup)
    for index, block in enumerate(blocks):
        found = pe_machine(block)
        if found not in (None, MACHINES[machine]):
            problems.append(f"embedded program {index} is for machine {found:#x}, not {machine}")
    for path in files:
        with open(path, "rb") as f:
            content = f.read()
        count = blocks.count(content)
        if count != 1:
            problems.append(f"{path} is embedded {count} times")
        name = os.path.basename(path)
        if name.encode("utf-16-le") not in header:
            problems.append(f"the installer never names {name}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--machine", choices=sorted(MACHINES), required=True)
    parser.add_argument("--file", action="append", default=[], required=True)
    parser.add_argument("setup")
    args = parser.parse_args()
    try:
        problems = check(args.setup, args.machine, args.file)
    except (OSError, ValueError, lzma.LZMAError) as error:
        problems = [str(error)]
    for problem in problems:
        print(f"{args.setup}: {problem}", file=sys.stderr)
    if not problems:
        print(f"{args.setup}: {args.machine}, carries {', '.join(os.path.basename(p) for p in args.file)}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
