#!/usr/bin/python3
"""Checks that the twin's MSI differs from the shipped one only where a 64-bit
package must: the programs in the Binary table, the summary's Template
("x64;0", not "Intel;0"), and so the ProductCode and the package code, which
name the content. Every other stream, every table among them, is the same bytes
(the string pool once the twin's ProductCode is written as the shipped one's); so
what the twin's package does under 64-bit Wine, the shipped one does too.

Usage: check_twin_package.py SHIPPED_MSI SHIPPED_EXE SHIPPED_DLL TWIN_MSI TWIN_EXE TWIN_DLL
"""
import os
import sys

import olefile

SUMMARY = "\x05SummaryInformation"
PID_TEMPLATE, PID_REVNUMBER = 7, 9
# Windows Installer's encoding of stream names: two characters of this alphabet
# in one code unit from U+3800, one from U+4800, and U+4840 before a table's name.
ALPHABET = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._"


def stream_name(path):
    out = []
    for unit in map(ord, "/".join(path)):
        if 0x3800 <= unit < 0x4800:
            out += [ALPHABET[(unit - 0x3800) & 0x3F], ALPHABET[(unit - 0x3800) >> 6]]
        elif 0x4800 <= unit < 0x4840:
            out.append(ALPHABET[unit - 0x4800])
        elif unit == 0x4840:
            out.append("!")
        else:
            out.append(chr(unit))
    return "".join(out)


def main():
    shipped_msi, shipped_exe, shipped_dll, twin_msi, twin_exe, twin_dll = sys.argv[1:7]
    read = lambda path: open(path, "rb").read()  # noqa: E731
    programs = {read(shipped_exe): ("image", read(twin_exe)),
                read(shipped_dll): ("check", read(twin_dll))}
    shipped, twin = olefile.OleFileIO(shipped_msi), olefile.OleFileIO(twin_msi)
    # Each kit names its package's ProductCode beside it.
    codes = [open(os.path.join(os.path.dirname(msi), "ProductCode.txt"), "rb").read().strip()
             for msi in (shipped_msi, twin_msi)]
    failures = []

    names = sorted(shipped.listdir())
    if names != sorted(twin.listdir()):
        failures.append(f"other streams: {sorted(map(stream_name, names))} against "
                        f"{sorted(map(stream_name, twin.listdir()))}")
        names = []
    carried = []
    for path in names:
        name = stream_name(path)
        ours, theirs = shipped.openstream(path).read(), twin.openstream(path).read()
        if path == [SUMMARY]:
            a = shipped.getproperties(SUMMARY, convert_time=False)
            b = twin.getproperties(SUMMARY, convert_time=False)
            if (a.get(PID_TEMPLATE), b.get(PID_TEMPLATE)) != (b"Intel;0", b"x64;0"):
                failures.append(f"Template: {a.get(PID_TEMPLATE)!r} and {b.get(PID_TEMPLATE)!r}, "
                                "expected Intel;0 and x64;0")
            for pid in sorted(set(a) | set(b)):
                if pid not in (PID_TEMPLATE, PID_REVNUMBER) and a.get(pid) != b.get(pid):
                    failures.append(f"summary property {pid}: {a.get(pid)!r} against {b.get(pid)!r}")
        elif ours in programs:
            what, twin_program = programs[ours]
            carried.append(what)
            if theirs != twin_program:
                failures.append(f"stream {name}: the twin's package does not carry the twin's {what}")
        elif ours != (theirs.replace(codes[1], codes[0]) if name == "!_StringData" else theirs):
            failures.append(f"stream {name} differs")
    if sorted(carried) != ["check", "image"]:
        failures.append(f"the shipped package carries {carried}, expected the image and the check "
                        "once each, byte for byte")
    if shipped.root.clsid != twin.root.clsid:
        failures.append(f"root class {shipped.root.clsid} against {twin.root.clsid}")

    print(f"{len(names)} streams compared")
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
