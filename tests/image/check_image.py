#!/usr/bin/python3
"""Checks the built Windows image: header fields, imports, entry, the manifest
as its only resource, no varying bytes, and the size. With --twin, the same for
the image's 64-bit twin, where only the machine, the header's form, high-entropy
addresses and the size differ.

Usage: check_image.py [--twin] IMAGE MAP MANIFEST CERTIFICATES_SOURCE SOURCE_DIR CHECK_DLL
(the MSI's check DLL, which carries the same load configuration)
"""
import os
import re
import sys
import xml.etree.ElementTree as ET

import pefile

TWIN = sys.argv[1] == "--twin"
IMAGE, MAP, MANIFEST, CERTIFICATES, SOURCE_DIR, CHECK_DLL = sys.argv[1 + TWIN:7 + TWIN]

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


pe = pefile.PE(IMAGE)
data = open(IMAGE, "rb").read()
fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER

if TWIN:
    check(fh.Machine == 0x8664, f"Machine is {fh.Machine:#x}, expected AMD64 (0x8664)")
    check(oh.Magic == 0x20B, f"optional header magic {oh.Magic:#x}, expected PE32+ (0x20b)")
else:
    check(fh.Machine == 0x14C, f"Machine is {fh.Machine:#x}, expected i386 (0x14c)")
    check(oh.Magic == 0x10B, f"optional header magic {oh.Magic:#x}, expected PE32 (0x10b)")
check(oh.Subsystem == 2, f"Subsystem is {oh.Subsystem}, expected Windows GUI (2)")
for field in ("MajorOperatingSystemVersion", "MajorSubsystemVersion"):
    check(getattr(oh, field) == 6, f"{field} is {getattr(oh, field)}, expected 6")
for field in ("MinorOperatingSystemVersion", "MinorSubsystemVersion"):
    check(getattr(oh, field) == 0, f"{field} is {getattr(oh, field)}, expected 0")
# The twin adds high-entropy addresses (0x20), which x86-64's linker sets by default.
characteristics = 0x8160 if TWIN else 0x8140
check(oh.DllCharacteristics == characteristics,
      f"DllCharacteristics is {oh.DllCharacteristics:#x}, expected {characteristics:#x} "
      "(dynamic base, NX compatible, terminal-server aware)")
check(not fh.Characteristics & 0x0001, "relocations stripped, but the image is relocatable")
reloc = oh.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
check(reloc.VirtualAddress != 0 and reloc.Size > 0, "no relocation table")
for field, value in (("SizeOfStackReserve", 0x100000), ("SizeOfStackCommit", 0x1000),
                     ("SizeOfHeapReserve", 0x100000), ("SizeOfHeapCommit", 0x1000)):
    check(getattr(oh, field) == value, f"{field} is {getattr(oh, field):#x}, expected {value:#x}")

# Imports: exactly these functions of exactly these three libraries.
expected_imports = {
    "CRYPT32.dll": {"CryptQueryObject", "CertOpenStore", "CertAddCertificateContextToStore",
                    "CertCloseStore", "CertFreeCertificateContext"},
    "KERNEL32.dll": {"GetLastError", "GetProcessHeap", "HeapAlloc", "HeapFree",
                     "GetCommandLineW", "GetModuleHandleW", "GetStartupInfoW", "ExitProcess"},
    "USER32.dll": {"MessageBoxW", "wsprintfW"},
}
imports = {entry.dll.decode(): {i.name.decode() for i in entry.imports}
           for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
check(sorted(imports) == sorted(expected_imports),
      f"imported libraries {sorted(imports)}, expected {sorted(expected_imports)}")
for dll, names in expected_imports.items():
    check(imports.get(dll) == names, f"{dll} imports {sorted(imports.get(dll, []))}, expected {sorted(names)}")
check(not hasattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT"), "delay-load imports present")
check(not hasattr(pe, "DIRECTORY_ENTRY_EXPORT"), "export directory present")
check(not hasattr(pe, "DIRECTORY_ENTRY_TLS"), "TLS directory present: something runs before the entry")

# The entry point is the image's own start-up, which calls wWinMain.
symbols = dict((name, int(address, 16)) for address, name in
               re.findall(r"^\s+0x([0-9a-f]+)\s+(\S+)$", open(MAP).read(), re.M))
# x86 decorates stdcall names with their argument bytes; x86-64 does not.
entry, main = ("ImageStartup", "wWinMain") if TWIN else ("ImageStartup@0", "wWinMain@16")
startup = symbols.get(entry)
check(startup is not None and startup - oh.ImageBase == oh.AddressOfEntryPoint,
      f"entry point {oh.AddressOfEntryPoint:#x} is not {entry}")
check(main in symbols or "_" + main in symbols, f"no {main} in the image")

# Resources: one manifest, type 24, id 1, language 1033, byte for byte the file.
manifest = open(MANIFEST, "rb").read()
resources = []
for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    for rid in rtype.directory.entries:
        for lang in rid.directory.entries:
            rva, size = lang.data.struct.OffsetToData, lang.data.struct.Size
            resources.append((rtype.id, rid.id, lang.id, pe.get_data(rva, size)))
check(len(resources) == 1, f"{len(resources)} resources, expected the manifest alone")
if resources:
    rtype, rid, lang, content = resources[0]
    check((rtype, rid, lang) == (24, 1, 1033),
          f"resource is type {rtype}, id {rid}, language {lang}; expected 24, 1, 1033")
    check(content == manifest, "the manifest resource differs from res/install-ca-certs.manifest")

check(len(manifest) == 392, f"manifest is {len(manifest)} bytes, expected 392")
check(manifest.count(b"\r\n") == manifest.count(b"\n") and manifest.endswith(b"\r\n"),
      "manifest lines must end in CRLF")
check(manifest.startswith(b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'),
      "manifest must start with the XML declaration")
ASM1, ASM3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
root = ET.fromstring(manifest)
check(root.tag == ASM1 + "assembly" and root.attrib == {"manifestVersion": "1.0"},
      f"root element {root.tag} {root.attrib}")
check([child.tag for child in root] == [ASM3 + "trustInfo"], "assembly must hold trustInfo only")
path = [ASM3 + "trustInfo", ASM3 + "security", ASM3 + "requestedPrivileges"]
node = root
for tag in path:
    children = list(node)
    check(len(children) == 1 and children[0].tag == tag, f"expected {tag} alone under {node.tag}")
    node = children[0] if children else node
levels = list(node)
check(len(levels) == 1 and levels[0].tag == ASM3 + "requestedExecutionLevel"
      and levels[0].attrib == {"level": "requireAdministrator", "uiAccess": "false"}
      and len(levels[0]) == 0 and not (levels[0].text or "").strip(),
      "expected one empty requestedExecutionLevel, requireAdministrator, uiAccess false")

# The load configuration: static imports resolved from System32 only
# (DependentLoadFlags = LOAD_LIBRARY_SEARCH_SYSTEM32), nothing else set; its size
# reaches up to the safe-exception-handler table, 64 bytes on x86, as older loaders
# expect. The header's checksum still matches the file after the build set it.
# IMAGE_LOAD_CONFIG_DIRECTORY32 and 64: Size at 0, DependentLoadFlags at 54 and 78.
size, flags_at = (96, 78) if TWIN else (64, 54)
for path, module in ((IMAGE, pe), (CHECK_DLL, pefile.PE(CHECK_DLL))):
    name = os.path.basename(path)
    directory = module.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]]
    check(directory.VirtualAddress != 0 and directory.Size == size,
          f"{name}: load configuration directory of {directory.Size} bytes, expected {size}")
    config = module.get_data(directory.VirtualAddress, size) if directory.VirtualAddress else b""
    if len(config) == size:
        check(int.from_bytes(config[:4], "little") == size,
              f"{name}: load configuration Size {int.from_bytes(config[:4], 'little')}, expected {size}")
        flags = int.from_bytes(config[flags_at:flags_at + 2], "little")
        check(flags == 0x800, f"{name}: DependentLoadFlags {flags:#x}, expected 0x800")
        rest = config[4:flags_at] + config[flags_at + 2:]
        check(rest == bytes(len(rest)), f"{name}: other load configuration fields are set")
    check(module.OPTIONAL_HEADER.CheckSum == module.generate_checksum(),
          f"{name}: header checksum {module.OPTIONAL_HEADER.CheckSum}, the file's is "
          f"{module.generate_checksum()}")

# The DLL's entries as its CustomAction rows name them: Windows fails with 1723 without
# one, both Wine releases count that a success.
export = getattr(pefile.PE(CHECK_DLL), "DIRECTORY_ENTRY_EXPORT", None)
exports = sorted(e.name for e in export.symbols) if export else []
check(exports == [b"CheckCertificates", b"RemoveCertificates"],
      f"check DLL exports {exports}, expected CheckCertificates and RemoveCertificates")

# Nothing that varies between builds.
check(fh.TimeDateStamp == 0, f"header time stamp {fh.TimeDateStamp}")
check(not hasattr(pe, "DIRECTORY_ENTRY_DEBUG"), "debug directory present")
check(pe.DIRECTORY_ENTRY_RESOURCE.struct.TimeDateStamp == 0, "resource directory time stamp")

# Nothing of the build machine: no compiler identification, no path or file name
# of the build, in narrow or UTF-16 form. The certificate texts and the manifest
# are checked whole elsewhere and are left out, since base64 and XML hold slashes.
texts = re.findall(r'"([A-Za-z0-9+/=]{100,})"', open(CERTIFICATES).read())
rest = data.replace(manifest, b"")
for text in texts:
    rest = rest.replace(text.encode(), b"")
build_dir = os.path.dirname(os.path.abspath(IMAGE))
for what, pattern in (
        ("a compiler identification string", rb"GCC: \(|GNU C|clang version|LLVM|[Mm]in[Gg][Ww]"),
        ("an absolute path", rb"[A-Za-z]:\\[\x20-\x7e]|/(?:usr|home|root|tmp|opt|work|build|mnt|src)/"),
        ("a source or object file name", rb"\.(?:cpp|hpp|obj|rc|res)\0")):
    # narrow, then UTF-16 at even and at odd offsets
    for haystack in (rest, rest.decode("utf-16-le", "replace").encode("ascii", "replace"),
                     rest[1:].decode("utf-16-le", "replace").encode("ascii", "replace")):
        found = re.search(pattern, haystack)
        check(found is None, f"the image carries {what}: {found and found.group(0)!r}")
for path in {SOURCE_DIR, os.path.abspath(SOURCE_DIR), build_dir}:
    for encoding in ("utf-8", "utf-16-le"):
        check(path.encode(encoding) not in data, f"the build path {path} is in the image ({encoding})")

# The twelve texts are carried whole, and they are nearly all of the image.
check(len(texts) == 12, f"{len(texts)} texts in the certificate source, expected 12")
for number, text in enumerate(texts, 1):
    check(data.count(text.encode() + b"\0") == 1, f"row {number}'s text is not in the image once")
floor = sum(len(t) + 1 for t in texts)
if not TWIN:  # the twin's wider code and pointers are not shipped
    check(len(data) <= 34816, f"image is {len(data)} bytes, more than 34,816")

print(f"image {len(data)} bytes; certificate texts {floor} bytes ({100 * floor / len(data):.1f}%)")
for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
