"""The MSI package: wixl builds it from the .wxs, msibuild adds what wixl cannot
write, and the summary information is written anew, in the package's code page
and reproducibly."""
import hashlib
import io
import re
import shutil
import struct
import subprocess
import sys
import uuid
import xml.etree.ElementTree as ET

import olefile

WIX = "{http://schemas.microsoft.com/wix/2006/wi}"
# The platform field of the summary's Template for each package architecture.
TEMPLATE_PLATFORMS = {"x86": "Intel", "x64": "x64"}
# The installer from the Binary table (2), exit status ignored (0x40), deferred
# (0x400), not impersonated (0x800).
RUN_INSTALLER_TYPE = 2 | 0x40 | 0x400 | 0x800


# Written in by wixl and replaced once the content that names the product is known.
PLACEHOLDER_CODE = "{00000000-0000-0000-0000-000000000000}"
# What wixl says of what this package asks and it cannot write, which is written
# below: MigrateFeatures (an Upgrade attribute) and a Media row without a cabinet.
WIXL_KNOWN = re.compile(r"has no property named 'MigrateFeatures'|"
                        r"wixl_msi_table_media_(add: assertion 'Cabinet != NULL'|"
                        r"set_last_sequence: assertion 'rec != NULL') failed")
# Upgrade.Attributes that wixl 0.101 leaves out although the .wxs asks for them:
# msidbUpgradeAttributesVersionMaxInclusive and msidbUpgradeAttributesMigrateFeatures.
UPGRADE_ATTRIBUTES = {"IncludeMaximum": 0x200, "MigrateFeatures": 0x1}


def product_code(upgrade_code, content):
    """The ProductCode of a package whose content (with the placeholder code) is
    `content`: identical builds share it, any two different builds are two
    products, so that one replaces the other by a major upgrade instead of failing
    with 1638 (another package code under the same ProductCode)."""
    return "{" + str(uuid.uuid5(uuid.UUID(upgrade_code), "ProductCode " +
                                hashlib.sha256(content).hexdigest())).upper() + "}"


def msi_texts(product):
    """The package's own texts, which wixl 0.101 drops when they are not ASCII:
    (table, column, key column, key, text)."""
    feature = product.find(WIX + "Feature")
    return [("Property", "Value", "Property", "ProductName", product.get("Name")),
            ("Feature", "Title", "Feature", feature.get("Id"), feature.get("Title"))] + [
        ("LaunchCondition", "Description", "Condition", condition.text.strip(),
         condition.get("Message")) for condition in product.findall(WIX + "Condition")]


def sql_string(text):
    if "'" in text:
        sys.exit(f"cannot quote {text!r} for msibuild")
    return f"'{text}'"


def export_table(msi, table):
    out = subprocess.run(["msiinfo", "export", str(msi), table], check=True,
                         capture_output=True).stdout.decode("utf-8")
    lines = out.replace("\r\n", "\n").split("\n")
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


def upgrade_code(wxs):
    return ET.parse(wxs).getroot().find(WIX + "Product").get("UpgradeCode")


def build_msi(wxs, image, checker, version, arch, epoch, output, work):
    """Writes the package to `output`; returns its ProductCode, which names the
    package built with a placeholder in its place, its summary as it will be."""
    product = ET.parse(wxs).getroot().find(WIX + "Product")
    template = f"{TEMPLATE_PLATFORMS[arch]};{product.get('Language')}"
    codepage = int(product.get("Codepage"))
    probe = bytearray(assemble(wxs, product, image, checker, version, arch, PLACEHOLDER_CODE, work))
    write_summary(probe, epoch, template, codepage)
    code = product_code(product.get("UpgradeCode"), probe)
    package = bytearray(assemble(wxs, product, image, checker, version, arch, code, work))
    write_summary(package, epoch, template, codepage)
    output.write_bytes(package)
    return code


def assemble(wxs, product, image, checker, version, arch, code, work):
    """The package's database, before its summary is written; `product` is the
    .wxs's Product element."""
    raw = work / "package.msi"
    # wixl takes source files relative to the folder it works in, and no build path
    # may reach the package.
    shutil.copyfile(image, work / "Binary.InstallerImage")
    shutil.copyfile(checker, work / "Binary.CertificateCheck")
    shutil.copyfile(wxs, work / "package.wxs")
    said = subprocess.run(["wixl", "--arch", arch, "-D", f"Version={version}", "-D", f"ProductCode={code}",
                           "-D", "Image=Binary.InstallerImage", "-D", "Checker=Binary.CertificateCheck",
                           "-o", raw.name, "package.wxs"], check=True, capture_output=True, cwd=work).stderr
    for line in said.decode("utf-8", "replace").splitlines():
        if line.strip() and not WIXL_KNOWN.search(line):
            print(line, file=sys.stderr)

    # What wixl cannot write: the database's code page, its non-ASCII texts, a
    # custom action that runs an EXE from the Binary table, a Media row without
    # files, and the upgrade row's attributes.
    codepage = int(product.get("Codepage"))
    (work / "_ForceCodepage.idt").write_bytes(f"\r\n\r\n{codepage}\t_ForceCodepage\r\n".encode())
    subprocess.run(["msibuild", str(raw), "-i", str(work / "_ForceCodepage.idt")], check=True,
                   capture_output=True)
    queries = [f"INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) "
               f"VALUES ('RunInstaller', {RUN_INSTALLER_TYPE}, 'InstallerImage', '-s')",
               "INSERT INTO `Media` (`DiskId`, `LastSequence`) VALUES (1, 0)"]
    for table, column, key_column, key, text in msi_texts(product):
        text.encode(f"cp{codepage}")  # fails here, not silently in the package
        queries.append(f"UPDATE `{table}` SET `{column}` = {sql_string(text)} "
                       f"WHERE `{key_column}` = {sql_string(key)}")
    # Attributes belongs to the Upgrade table's key, so the row is written anew.
    wanted = {v.get("Property"): sum(bit for name, bit in UPGRADE_ATTRIBUTES.items()
                                     if v.get(name) == "yes")
              for v in product.iter(WIX + "UpgradeVersion")}
    for row in export_table(raw, "Upgrade"):
        if wanted.get(row["ActionProperty"]):
            queries += [f"DELETE FROM `Upgrade` WHERE `ActionProperty` = "
                        f"{sql_string(row['ActionProperty'])}",
                        "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMin`, `VersionMax`, "
                        "`Attributes`, `ActionProperty`) VALUES (" + ", ".join(
                            [sql_string(row["UpgradeCode"]), sql_string(row["VersionMin"]),
                             sql_string(row["VersionMax"]),
                             str(int(row["Attributes"]) | wanted[row["ActionProperty"]]),
                             sql_string(row["ActionProperty"])]) + ")"]
    for query in queries:
        subprocess.run(["msibuild", str(raw), "-q", query], check=True, capture_output=True)
    for table, column, key_column, key, text in msi_texts(product):
        values = [row[column] for row in export_table(raw, table) if row[key_column] == key]
        if values != [text]:
            sys.exit(f"{raw}: {table}.{column} for {key} is {values}, expected {text!r}")
    return raw.read_bytes()


# --- the summary information ---------------------------------------------------------

SUMMARY = "\x05SummaryInformation"
PID_CODEPAGE, PID_TEMPLATE, PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 1, 7, 9, 12, 13
VT_I2, VT_I4, VT_LPSTR, VT_FILETIME = 2, 3, 30, 64
ZERO_CODE = "{00000000-0000-0000-0000-000000000000}"


def read_properties(stream):
    """[(property id, type, value)] of the stream's one section, in stored order;
    strings as bytes."""
    section = struct.unpack_from("<I", stream, 44)[0]
    count = struct.unpack_from("<I", stream, section + 4)[0]
    properties = []
    for i in range(count):
        pid, offset = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        at = section + offset
        kind = struct.unpack_from("<I", stream, at)[0]
        if kind == VT_LPSTR:
            length = struct.unpack_from("<I", stream, at + 4)[0]
            value = bytes(stream[at + 8:at + 8 + length]).rstrip(b"\0")
        elif kind in (VT_I2, VT_I4, VT_FILETIME):
            value = struct.unpack_from({VT_I2: "<h", VT_I4: "<i", VT_FILETIME: "<Q"}[kind],
                                       stream, at + 4)[0]
        else:
            sys.exit(f"summary property {pid}: type {kind} is not handled")
        properties.append((pid, kind, value))
    return properties


def write_properties(header, properties):
    """The stream: the header as it was, then the section built from `properties`."""
    values = []
    for _, kind, value in properties:
        if kind == VT_LPSTR:
            text = value + b"\0"
            data = struct.pack("<II", kind, len(text)) + text
        else:
            data = struct.pack("<I" + {VT_I2: "h", VT_I4: "i", VT_FILETIME: "Q"}[kind], kind, value)
        values.append(data + b"\0" * (-len(data) % 4))
    offset = 8 + 8 * len(properties)
    table = b""
    for (pid, _, _), data in zip(properties, values):
        table += struct.pack("<II", pid, offset)
        offset += len(data)
    return header + struct.pack("<II", offset, len(properties)) + table + b"".join(values)


def write_summary(package, epoch, template, codepage):
    """Rewrites the summary information: strings in the package's code page (wixl
    writes UTF-8 while the stream declares `codepage`), the Template, times of
    SOURCE_DATE_EPOCH, and a package code that names this exact content: a
    name-based UUID of the package with a zero code in its place."""
    stream = olefile.OleFileIO(bytes(package)).openstream(SUMMARY).read()
    section = struct.unpack_from("<I", stream, 44)[0]
    filetime = (epoch + 11644473600) * 10_000_000
    properties = []
    for pid, kind, value in read_properties(stream):
        if pid == PID_CODEPAGE and value != codepage:
            sys.exit(f"the summary declares code page {value}, the package {codepage}")
        if kind == VT_LPSTR:
            value = value.decode("utf-8").encode(f"cp{codepage}")
        value = {PID_TEMPLATE: template.encode("ascii"), PID_REVNUMBER: ZERO_CODE.encode("ascii"),
                 PID_CREATE_DTM: filetime, PID_LASTSAVE_DTM: filetime}.get(pid, value)
        properties.append((pid, kind, value))
    replace_stream(package, SUMMARY, write_properties(stream[:section], properties))

    code = uuid.uuid5(uuid.NAMESPACE_OID, "install-ca-certs package " +
                      hashlib.sha256(package).hexdigest())
    properties = [(pid, kind, ("{" + str(code).upper() + "}").encode("ascii")
                   if pid == PID_REVNUMBER else value) for pid, kind, value in properties]
    replace_stream(package, SUMMARY, write_properties(stream[:section], properties))


# --- the compound file ---------------------------------------------------------------

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


# Special sector numbers of a FAT, and a directory entry's missing link.
FREESECT, ENDOFCHAIN, FATSECT, DIFSECT, NOSTREAM = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD, 0xFFFFFFFC, 0xFFFFFFFF


def replace_stream(package, name, data):
    """Writes `data` over a small stream (one in the mini stream) of the compound
    file, in place: it may keep or shrink its size. olefile reads the structure;
    the mini sectors left over are freed."""
    ole = olefile.OleFileIO(io.BytesIO(bytes(package)))
    entry = next(e for e in ole.direntries if e is not None and e.name == name)
    if entry.size >= ole.minisectorcutoff or len(data) > entry.size:
        sys.exit(f"{name}: {entry.size} to {len(data)} bytes cannot be written in place")
    ole.loadminifat()
    mini = ole.minisectorsize
    chain = []
    sector = entry.isectStart
    while sector != ENDOFCHAIN:
        chain.append(sector)
        sector = ole.minifat[sector]

    def sectors(start):
        found = []
        while start != ENDOFCHAIN:
            found.append(start)
            start = ole.fat[start]
        return found

    def at(sector):
        return (sector + 1) * ole.sectorsize

    mini_stream = sectors(ole.root.isectStart)
    per_sector = ole.sectorsize // mini

    def mini_at(sector):
        return at(mini_stream[sector // per_sector]) + (sector % per_sector) * mini

    used = -(-len(data) // mini)
    padded = data + b"\0" * (used * mini - len(data))
    for i, sector in enumerate(chain):
        package[mini_at(sector):mini_at(sector) + mini] = padded[i * mini:(i + 1) * mini] \
            if i < used else bytes(mini)

    # The mini FAT: the chain ends at its last used sector; the rest are free.
    minifat = sectors(ole.minifatsect)
    entries = ole.sectorsize // 4
    for i, sector in enumerate(chain[used - 1:]):
        value = ENDOFCHAIN if i == 0 else FREESECT
        struct.pack_into("<I", package, at(minifat[sector // entries]) + (sector % entries) * 4,
                         value)

    # The directory entry's size (its low 32 bits; the high ones are zero here).
    directory = sectors(ole.first_dir_sector)
    per_directory = ole.sectorsize // 128
    sid = entry.sid
    struct.pack_into("<I", package,
                     at(directory[sid // per_directory]) + (sid % per_directory) * 128 + 0x78,
                     len(data))
