"""`make verify`: a kit, as an administrator or a security officer downloaded it,
against the kit that the checked-out sources build. VERIFIED means: every file
of the kit is a regular file inside it, and each is byte for byte the sources'
file or, if it can be signed, the sources' file plus exactly one signature that
holds by itself and nothing else; SHA256SUMS lists each file once, rightly, and
nothing else. With CAFILE every signable file must be signed, and each signature
must chain to a root of CAFILE. It ends with one verdict."""
import base64
import datetime
import os
import pathlib
import re
import struct
import subprocess

import pefile

import kit_authenticode
import kit_files
import kit_msi
from kit_authenticode import Fault, shown
from kit_msi import DIFSECT, ENDOFCHAIN, FATSECT, FREESECT, NOSTREAM

SUMS = "SHA256SUMS"
SIGNABLE = (".exe", ".msi", ".ps1")
# The package's signature, which a compound file keeps in streams of its own.
SIGNATURE, EXTENDED_SIGNATURE = ("\x05DigitalSignature",), ("\x05MsiDigitalSignatureEx",)


def byte_difference(ours, theirs):
    """None if equal, else where the kit's bytes leave these sources'."""
    if ours == theirs:
        return None
    at = next((i for i, (a, b) in enumerate(zip(ours, theirs)) if a != b), min(len(ours), len(theirs)))
    return f"differs from byte {at} on ({len(theirs)} bytes; these sources build {len(ours)})"


# --- the package -------------------------------------------------------------------------

COMPOUND_FILE = bytes.fromhex("D0CF11E0A1B11AE1")
# A directory entry that is not in use: zeros, but for its three links.
FREE_ENTRY = bytes(68) + struct.pack("<3I", NOSTREAM, NOSTREAM, NOSTREAM) + bytes(48)


def compound_file(data, strict):
    """{path of raw names: (type, CLSID, state bits, creation and modification times,
    bytes of a stream)} of a compound file, the root entry's path (). `strict`: every
    byte must belong to the file's structure or to a stream, or be zero where it is
    neither, and nothing may follow it, since a package's signature covers its
    streams and no more; and no two entries of a storage may share a name."""
    def fault(text):
        raise Fault(f"its compound file {text}")

    def zero(chunk, where):
        if strict and any(chunk):
            fault(f"holds data in {where}, which belongs to no stream")

    if len(data) < 512 or data[:8] != COMPOUND_FILE:
        raise Fault("is not a compound file, as a package is")
    major, order, shift, mini_shift = struct.unpack_from("<4H", data, 26)
    if order != 0xFFFE or (major, shift) not in ((3, 9), (4, 12)) or mini_shift != 6:
        fault("has a header that Windows does not write")
    size = 1 << shift
    n_fat, first_directory, _, cutoff, first_minifat, n_minifat, first_difat, n_difat = \
        struct.unpack_from("<8I", data, 44)
    zero(data[8:24] + data[34:40 if major == 4 else 44] + data[52:56] + data[512:size], "its header")
    count, owner = (len(data) - size) // size, {}

    def sector(i):
        return data[size * (i + 1):size * (i + 2)]

    def claim(i, what):
        if not 0 <= i < count or i in owner:
            fault(f"has sector {i} twice, or outside the file ({what})")
        owner[i] = what

    fat_sectors, at = list(struct.unpack_from("<109I", data, 76)), first_difat
    for _ in range(n_difat):
        claim(at, "the DIFAT")
        entries = struct.unpack_from(f"<{size // 4}I", sector(at))
        fat_sectors, at = fat_sectors + list(entries[:-1]), entries[-1]
    fat = []
    for i in fat_sectors[:n_fat]:
        claim(i, "the FAT")
        fat += struct.unpack_from(f"<{size // 4}I", sector(i))
    if strict and any(i != FREESECT for i in fat_sectors[n_fat:]):
        fault("names more FAT sectors than it has")
    if len(fat) < count:
        fault("has sectors that its FAT does not cover")

    def chain(start, what):
        found = []
        while start != ENDOFCHAIN:
            claim(start, what)
            found.append(start)
            start = fat[start]
        return found

    directory = b"".join(sector(i) for i in chain(first_directory, "the directory"))
    minifat_sectors = chain(first_minifat, "the mini FAT") if n_minifat else []
    minifat = struct.unpack(f"<{len(minifat_sectors) * size // 4}I",
                            b"".join(sector(i) for i in minifat_sectors))
    entries = [directory[i:i + 128] for i in range(0, len(directory), 128)]
    content, seen = {}, set()

    def entry(index):
        if not 0 <= index < len(entries) or index in seen:
            fault("has a directory that is not a tree")
        seen.add(index)
        raw = entries[index]
        length, kind = struct.unpack_from("<HB", raw, 64)
        left, right, child = struct.unpack_from("<3I", raw, 68)
        start, low, high = struct.unpack_from("<3I", raw, 116)
        if not 2 <= length <= 64 or length % 2 or raw[length - 2:length] != b"\0\0" or kind not in (1, 2, 5):
            fault("has a malformed directory entry")
        zero(raw[length:64], "a name's unused bytes")
        name = raw[:length - 2].decode("utf-16-le", "surrogatepass")
        return name, kind, left, right, child, raw[80:96], struct.unpack_from("<I", raw, 96)[0], \
            raw[100:116], start, low | high << 32

    def storage(child, path):
        """The entries of a storage, from its red-black tree of children."""
        names, stack = set(), [child]
        while stack:
            index = stack.pop()
            if index == NOSTREAM:
                continue
            name, kind, left, right, sub, clsid, state, times, start, length = entry(index)
            if kind == 5:
                fault("has a second root entry")
            if name.upper() in names:
                fault(f"has two entries named {shown(kit_msi.stream_name(path + (name,)))}")
            names.add(name.upper())
            stack += [left, right]
            here = path + (name,)
            content[here] = (kind, clsid, state, times, None if kind == 1 else (start, length))
            if kind == 1:
                storage(sub, here)

    root = entry(0)
    if root[1] != 5:
        fault("has no root entry")
    ministream = b"".join(sector(i) for i in chain(root[8], "the mini stream")) if root[9] else b""
    zero(ministream[root[9]:], "the mini stream's last sector")
    mini_owner = set()
    storage(root[4], ())
    for path, (kind, clsid, state, times, where) in list(content.items()):
        if where is None:
            continue
        start, length = where
        if length >= cutoff:
            stream = b"".join(sector(i) for i in chain(start, shown(kit_msi.stream_name(path))))
        else:
            pieces, at = [], start
            while at != ENDOFCHAIN:
                if at >= len(minifat) or at in mini_owner or (at + 1) * 64 > len(ministream):
                    fault("has a mini stream sector twice, or outside the mini stream")
                mini_owner.add(at)
                pieces.append(ministream[at * 64:(at + 1) * 64])
                at = minifat[at]
            stream = b"".join(pieces)
        unit = size if length >= cutoff else 64
        if len(stream) != -(-length // unit) * unit:
            fault(f"has a stream whose sectors do not match its size ({shown(kit_msi.stream_name(path))})")
        zero(stream[length:], "a stream's last sector")
        content[path] = (kind, clsid, state, times, stream[:length])
    content[()] = (5, root[5], root[6], root[7], None)
    for index, raw in enumerate(entries):
        if index not in seen and strict and raw != FREE_ENTRY:
            fault("holds data in a directory entry that is not in use")
    for i in set(range(len(minifat))) - mini_owner:
        # osslsigncode leaves one such sector marked as a chain's end
        if minifat[i] not in (FREESECT, ENDOFCHAIN):
            fault("has mini sectors that belong to no stream")
        zero(ministream[i * 64:(i + 1) * 64], "a free mini sector")
    for i, next_sector in enumerate(fat):
        if owner.get(i) in ("the FAT", "the DIFAT"):
            if next_sector != (FATSECT if owner[i] == "the FAT" else DIFSECT):
                fault("has a FAT that does not mark its own sectors")
        elif i not in owner:
            if next_sector != FREESECT:
                fault("has sectors that belong to nothing")
            if i < count:
                zero(sector(i), "a free sector")
    end = size * (max(owner, default=-1) + 2)
    if strict and len(data) != end:
        raise Fault(f"has {len(data) - end} bytes after its compound file, which no signature covers"
                    if len(data) > end else "its compound file is cut short")
    return content


def package_difference(ours, theirs):
    """What differs between two packages but their layout, which signing rewrites,
    and their signature's streams: None if nothing."""
    a, b = (compound_file(pathlib.Path(p).read_bytes(), p == theirs) for p in (ours, theirs))
    for path in sorted(a.keys() | b.keys()):
        if path in (SIGNATURE, EXTENDED_SIGNATURE):
            continue
        name = shown(kit_msi.stream_name(path).lstrip("\x05")) if path else "its root"
        if path not in b:
            return f"lacks {name}"
        if path not in a:
            return f"has {name}, which these sources do not build"
        if a[path] != b[path]:
            return f"{name} " + (byte_difference(a[path][4], b[path][4]) if a[path][:4] == b[path][:4]
                                 else "differs in its directory entry")
    return None


def product_version(msi):
    try:
        rows = kit_msi.export_table(msi, "Property")
    except (subprocess.CalledProcessError, UnicodeDecodeError, IndexError):
        return None
    return {row.get("Property"): row.get("Value") for row in rows}.get("ProductVersion")


# --- a signed file: the sources' file and one signature --------------------------------------

def package_signature(path, ours):
    """(signature, MsiDigitalSignatureEx or None) of a signed package whose content is
    ours and whose every other byte is structure or zero, or None if it carries none."""
    content = compound_file(path.read_bytes(), True)
    if SIGNATURE not in content:
        return None
    difference = package_difference(ours, path)
    if difference:
        raise Fault(f"its signature set aside, {difference}")
    extended = content.get(EXTENDED_SIGNATURE)
    return content[SIGNATURE][4], extended and extended[4]


def certificate_table(data):
    """(signature, where the certificate table starts, the offsets of the security
    directory and of the checksum) of a signed program, whose certificate table is
    its last bytes, as Windows puts it, and holds exactly one signature; None if it
    carries none."""
    try:
        optional = struct.unpack_from("<I", data, 0x3C)[0] + 24
        directory = optional + {0x10B: 96, 0x20B: 112}[struct.unpack_from("<H", data, optional)[0]] + 4 * 8
        at, size = struct.unpack_from("<II", data, directory)
    except (struct.error, KeyError):
        raise Fault("is not a program these sources build") from None
    if at == 0:
        return None
    if at + size != len(data):
        raise Fault(f"has {len(data) - at - size} bytes after its certificate table, which no "
                    "signature covers" if at + size < len(data) else "its certificate table is cut short")
    table = data[at:]
    if len(table) < 8 or struct.unpack_from("<HH", table, 4) != (0x200, 2):
        raise Fault("its certificate table holds something other than one Authenticode signature")
    blob = kit_authenticode.element_at(table, 8).encoded
    padded = -(-(8 + len(blob)) // 8) * 8
    if struct.unpack_from("<I", table)[0] not in (8 + len(blob), padded) or size != padded \
            or any(table[8 + len(blob):]):
        raise Fault("its certificate table holds more than its one signature")
    return blob, at, directory, optional + 64


def program_signature(data, ours):
    """The signature of a signed program that is ours with its certificate table
    added and the security directory naming it; None if it carries none. Its
    checksum, which no signature covers, is checked_checksum's."""
    found = certificate_table(data)
    if found is None:
        return None
    blob, at, directory, checksum = found
    if not len(ours) <= at < len(ours) + 8:
        raise Fault(f"its signature set aside, {byte_difference(ours, data[:at])}")
    expected = bytearray(ours + bytes(at - len(ours)) + data[at:])
    struct.pack_into("<II", expected, directory, at, len(data) - at)
    expected[checksum:checksum + 4] = data[checksum:checksum + 4]
    if expected != data:
        raise Fault(f"its signature set aside, {byte_difference(bytes(expected[:at]), data[:at])}")
    return blob, None


def checked_checksum(data):
    """Raises Fault unless a signed program's header checksum is its own, as the
    signing tool computes it last."""
    program = pefile.PE(data=data, fast_load=True)
    if program.OPTIONAL_HEADER.CheckSum != program.generate_checksum():
        raise Fault("its header's checksum is not the file's: it was changed after it was signed")


SCRIPT_BLOCK = re.compile(rb"\r\n# SIG # Begin signature block\r\n((?:# [A-Za-z0-9+/]{64}\r\n)*"
                          rb"# [A-Za-z0-9+/=]{1,64}\r\n)# SIG # End signature block\r\n")


def script_signature(data, ours):
    """The signature of a signed script that is ours with one signature block after it,
    as PowerShell writes it, and nothing after the block. None if it carries none."""
    if b"# SIG # Begin signature block" not in data:
        return None
    if not data.startswith(ours):
        block = data.find(b"\r\n# SIG # Begin signature block")
        raise Fault(f"its signature set aside, {byte_difference(ours, data[:block])}")
    block = SCRIPT_BLOCK.fullmatch(data[len(ours):])
    if not block:
        raise Fault("has text before or after its signature block, which the signature does not cover "
                    "and PowerShell still runs, or a block PowerShell does not write")
    text = b"".join(line[2:] for line in block.group(1).split(b"\r\n"))
    try:
        blob = base64.b64decode(text, validate=True)
    except ValueError:
        blob = None
    if blob is None or base64.b64encode(blob) != text:
        raise Fault("its signature block is not base64 as PowerShell writes it")
    return blob, None


def stamp(moment):
    return moment.strftime("%Y-%m-%d %H:%M UTC")


def describe(signature, cafile):
    """The signature's lines for a person, who must tell keys apart; and why its
    chain fails against CAFILE, if it does."""
    signer = signature.chain[0]
    fingerprint = signer.fingerprint(kit_authenticode.hashes.SHA256()).hex().upper()
    until = kit_authenticode.utc(signer, "not_valid_after")
    lines = [f"signed by {kit_authenticode.name(signer)}, issued by {kit_authenticode.name(signer, 'issuer')}",
             f"certificate SHA-256 {fingerprint}, valid {stamp(kit_authenticode.utc(signer, 'not_valid_before'))} "
             f"to {stamp(until)}"]
    if signature.timestamp:
        moment, authority = signature.timestamp
        lines.append(f"time-stamped {stamp(moment)} by {kit_authenticode.name(authority[0])}")
    else:
        stops = "stops" if until > datetime.datetime.now(datetime.timezone.utc) else "stopped"
        lines.append(f"no time stamp: on Windows the signature {stops} validating on {stamp(until)}, when "
                     "its certificate expires (Windows does not trust the time a signature claims)")
    fault = None
    if signature.unchecked and not cafile:
        names = ", ".join(f"{kit_authenticode.name(c)} (issued by {kit_authenticode.name(c, 'issuer')})"
                          for c in signature.unchecked)
        fault = (f"it does not carry the issuer of {names}, so that certificate's own signature "
                 "can be checked only against its root: give CAFILE")
    elif cafile:
        moment = signature.timestamp[0] if signature.timestamp else datetime.datetime.now(datetime.timezone.utc)
        why = kit_authenticode.chains_to(signature.chain, cafile, moment)
        if not why and signature.timestamp:
            why = kit_authenticode.chains_to(signature.timestamp[1], cafile, moment)
            why = why and f"its time stamp's chain: {why}"
        lines.append(f"chains to a root of {cafile} at {stamp(moment)}" if not why else
                     f"does not chain to a root of {cafile} at {stamp(moment)}: {why}")
        fault = why and f"its signature does not chain to a root of {cafile}: {why}"
    else:
        lines.append("chain not checked: CAFILE=roots.pem checks it")
    return lines, fault


def signed_file(name, ours, theirs, cafile):
    """A signable file that differs from ours: its lines, if it is ours plus one valid
    signature, or None if it carries no signature. Raises Fault."""
    data = theirs.read_bytes()
    if name.endswith(".msi"):
        found = package_signature(theirs, ours)
    elif name.endswith(".exe"):
        found = program_signature(data, ours.read_bytes())
    else:
        found = script_signature(data, ours.read_bytes())
    if found is None:
        return None
    blob, extended = found
    signature = kit_authenticode.Signature(blob)
    calculated, calculated_extended = kit_authenticode.file_digests(theirs, signature.chain)
    if signature.digest != calculated or (extended is not None and extended != calculated_extended):
        raise Fault("its signature does not match it: the file was changed after it was signed")
    if name.endswith(".exe"):
        checked_checksum(data)
    lines, fault = describe(signature, cafile)
    if fault:
        raise Fault(fault + "\n      " + "\n      ".join(lines))
    return lines


# --- the kit -----------------------------------------------------------------------------------

def read_kit(kit):
    """({name as SHA256SUMS writes it: path} of the kit's regular files, SHA256SUMS
    aside; its folders; what else it holds)."""
    files, folders, faults = {}, set(), []

    def walk(folder, prefix):  # a link or a device is named once, as what it is
        try:
            entries = sorted(os.scandir(folder), key=lambda e: e.name)
        except OSError as error:
            faults.append(f"{shown(prefix) or 'the kit'} cannot be read: {error.strerror}")
            return
        for entry in entries:
            name = prefix + entry.name
            if entry.is_symlink():
                files[name] = None
                faults.append(f"{shown(name)} is a symbolic link (to {shown(os.readlink(entry.path))}), "
                              "not a file of the kit")
            elif entry.is_dir(follow_symlinks=False):
                folders.add(name)
                walk(entry.path, name + "/")
            elif entry.is_file(follow_symlinks=False):
                files[name] = pathlib.Path(entry.path)
            else:
                files[name] = None
                faults.append(f"{shown(name)} is not a regular file")
    walk(kit, "")
    return files, folders, faults


def check_sums(path, files):
    """What is wrong with SHA256SUMS: it must list each file of the kit once, as
    sha256sum writes it ("<SHA-256>  <name>", LF), and nothing else."""
    if path is None:
        return ["is missing"]
    try:
        text = path.read_bytes().decode("utf-8")
    except UnicodeDecodeError:
        return ["is not text in UTF-8"]
    except OSError as error:
        return [f"cannot be read: {error.strerror}"]
    faults, listed = [], {}
    if "\r" in text:
        faults.append("has CR line ends, which sha256sum does not write")
        text = text.replace("\r", "")
    if text and not text.endswith("\n"):
        faults.append("does not end with a line end")
    for number, line in enumerate(text.splitlines(), 1):
        found = re.fullmatch(r"([0-9a-f]{64})  (.+)", line)
        if not found:
            faults.append(f"line {number} is not \"<SHA-256 in lowercase hex>  <file>\": {shown(line[:90])!r}")
        elif found.group(2) in listed:
            faults.append(f"line {number} lists {shown(found.group(2))} again (first on line "
                          f"{listed[found.group(2)]})")
        elif files.get(found.group(2)) is None:
            faults.append(f"line {number} names {shown(found.group(2))}, which is not a file of the kit")
        else:
            listed[found.group(2)] = number
            if kit_files.sha256(files[found.group(2)]) != found.group(1):
                faults.append(f"line {number} gives another SHA-256 for {shown(found.group(2))}")
    if len(faults) > 4:
        faults[4:] = [f"and {len(faults) - 4} more such lines"]
    unlisted = sorted(name for name in files.keys() - listed.keys() if files[name])
    if unlisted:
        faults.append(f"does not list {', '.join(map(shown, unlisted))}")
    return faults


def verify(kit, built, version, cafile):
    """Prints one line per file and a verdict; True if the kit is exactly what the
    sources built into `built`."""
    ours = kit_files.files(built)
    theirs, folders, failures = read_kit(kit)
    sums = theirs.pop(SUMS, None)
    failures += [f"{shown(f)}/ is a folder these sources do not build" for f in sorted(folders)
                 if not any(name.startswith(f + "/") for name in ours)]
    signed = 0
    print(f"\nThe kit in {shown(str(kit))}, against what these sources build:")
    msi = "install-ca-certs.msi"
    if theirs.get(msi) and theirs[msi].read_bytes() != ours[msi].read_bytes():
        found = product_version(theirs[msi])
        if found is None:
            failures.append("install-ca-certs.msi is not a package that Windows Installer can read")
        elif found != version:
            failures.append(f"the kit is install-ca-certs {shown(found)}, these sources build {version}: "
                            "check out the sources that record its release")
    for name in sorted(ours.keys() | theirs.keys()):
        if any(theirs.get(name[:i]) is None and name[:i] in theirs
               for i in [len(name)] + [m.start() for m in re.finditer("/", name)]):
            continue  # a link, or in a linked folder: said already
        if name not in theirs:
            failures.append(f"{name} is missing from the kit")
            continue
        if name not in ours:
            failures.append(f"{shown(name)} is not something these sources build")
            continue
        try:
            difference = byte_difference(ours[name].read_bytes(), theirs[name].read_bytes())
            lines = signed_file(name, ours[name], theirs[name], cafile) \
                if difference and name.endswith(SIGNABLE) else None
        except Fault as fault:
            print(f"  {name}: NOT VERIFIED: " + "\n      ".join(map(shown, str(fault).split("\n"))))
            failures.append(f"{name}: {fault}".split("\n")[0])
            continue
        except Exception as error:  # noqa: BLE001 -- a forged file may break any reader
            print(f"  {name}: NOT VERIFIED: cannot be read ({type(error).__name__}: {shown(str(error))})")
            failures.append(f"{name} cannot be read as what these sources build ({shown(str(error))})")
            continue
        if lines is None:
            print(f"  {name}: {difference or 'identical'}")
            if difference:
                failures.append(f"{name} {difference}")
            elif cafile and name.endswith(SIGNABLE):
                failures.append(f"{name} is not signed, and with CAFILE every signable file must be")
            continue
        signed += 1
        print(f"  {name}: identical once its one signature is set aside\n      " +
              "\n      ".join(map(shown, lines)))
    faults = check_sums(sums, theirs)
    print(f"  {SUMS}: " + ("; ".join(faults) if faults else "lists each file once, with its SHA-256"))
    failures += [f"{SUMS} {fault}" for fault in faults]

    if failures:
        print(f"\nNOT VERIFIED: the kit in {shown(str(kit))} is not what these sources build:\n  " +
              "\n  ".join(map(shown, failures)))
        return False
    code = (built / "ProductCode.txt").read_text().strip()
    print(f"\nVERIFIED: the kit in {shown(str(kit))} is exactly what these sources build: "
          f"install-ca-certs {version}, ProductCode {code}, {len(theirs) + 1} files" +
          (f", {signed} of them signed and identical once their signatures are set aside"
           if signed else "") + ".")
    return True
