"""The MSI package: wixl builds it from the .wxs, msibuild adds what wixl cannot
write and writes the summary information anew, in the package's code page and
reproducibly."""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import time
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
ZERO_CODE = "{00000000-0000-0000-0000-000000000000}"
# What wixl says of what this package asks and it cannot write, which is written
# below: MigrateFeatures (an Upgrade attribute) and a Media row without a cabinet.
WIXL_KNOWN = re.compile(r"has no property named '(MigrateFeatures|Secure)'|"
                        r"wixl_msi_table_media_(add: assertion 'Cabinet != NULL'|"
                        r"set_last_sequence: assertion 'rec != NULL') failed")
# Upgrade.Attributes that wixl 0.101 leaves out although the .wxs asks for them:
# msidbUpgradeAttributesVersionMaxInclusive and msidbUpgradeAttributesMigrateFeatures.
UPGRADE_ATTRIBUTES = {"IncludeMaximum": 0x200, "MigrateFeatures": 0x1}


def product_code(upgrade_code, content):
    """The ProductCode of a package whose content (with the placeholder code) is `content`:
    two different builds are two products, one replacing the other, never failing with 1638."""
    return "{" + str(uuid.uuid5(uuid.UUID(upgrade_code), "ProductCode " +
                                hashlib.sha256(content).hexdigest())).upper() + "}"


def msi_texts(product):
    """(table, column, key column, key, text): the package's texts, which wixl 0.101 drops if not ASCII."""
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


def build_msi(wxs, image, checker, version, arch, epoch, output, work):
    """Writes the package to `output`; returns its ProductCode, which names the
    package built with a placeholder in its place, its summary as it will be."""
    product = ET.parse(wxs).getroot().find(WIX + "Product")
    probe = assemble(wxs, product, image, checker, version, arch, ZERO_CODE, work)
    values = summary(probe, f"{TEMPLATE_PLATFORMS[arch]};{product.get('Language')}",
                     int(product.get("Codepage")), epoch)
    write_summary(probe, values, work)
    code = product_code(product.get("UpgradeCode"), probe.read_bytes())
    package = assemble(wxs, product, image, checker, version, arch, code, work)
    write_summary(package, values, work)
    # The package code names this exact content: a name-based UUID of the package
    # with a zero code in its place.
    content = hashlib.sha256(package.read_bytes()).hexdigest()
    write_summary(package, {PID_REVNUMBER: "{" + str(uuid.uuid5(
        uuid.NAMESPACE_OID, "install-ca-certs package " + content)).upper() + "}"}, work)
    shutil.copyfile(package, output)
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
    # files, secure properties, and the upgrade row's attributes.
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
    # Properties the .wxs marks Secure, which wixl does not list.
    secure = [p.get("Id") for p in product.iter(WIX + "Property") if p.get("Secure") == "yes"]
    listed = [row["Value"] for row in export_table(raw, "Property") if row["Property"] == "SecureCustomProperties"]
    if secure:
        queries.append(f"UPDATE `Property` SET `Value` = {sql_string(';'.join(listed + secure))} "
                       "WHERE `Property` = 'SecureCustomProperties'")
    # Attributes belongs to the Upgrade table's key, so the row is written anew.
    wanted = {v.get("Property"): sum(bit for name, bit in UPGRADE_ATTRIBUTES.items() if v.get(name) == "yes")
              for v in product.iter(WIX + "UpgradeVersion")}
    for row in export_table(raw, "Upgrade"):
        if wanted.get(row["ActionProperty"]):
            values = [*map(sql_string, (row["UpgradeCode"], row["VersionMin"], row["VersionMax"])),
                      str(int(row["Attributes"]) | wanted[row["ActionProperty"]]), sql_string(row["ActionProperty"])]
            queries += [f"DELETE FROM `Upgrade` WHERE `ActionProperty` = {sql_string(row['ActionProperty'])}",
                        "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMin`, `VersionMax`, `Attributes`, "
                        f"`ActionProperty`) VALUES ({', '.join(values)})"]
    for query in queries:
        subprocess.run(["msibuild", str(raw), "-q", query], check=True, capture_output=True)
    for table, column, key_column, key, text in msi_texts(product):
        values = [row[column] for row in export_table(raw, table) if row[key_column] == key]
        if values != [text]:
            sys.exit(f"{raw}: {table}.{column} for {key} is {values}, expected {text!r}")
    return raw


# --- the summary information ---------------------------------------------------------

SUMMARY = "\x05SummaryInformation"
PID_CODEPAGE, PID_TEMPLATE, PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 1, 7, 9, 12, 13

def summary(package, template, codepage, epoch):
    """The summary information that wixl wrote, mended: its strings in the package's
    code page (wixl writes UTF-8 while the stream declares `codepage`), the Template,
    the release's time as SOURCE_DATE_EPOCH would give it, and a zero package code."""
    with olefile.OleFileIO(str(package)) as ole:
        found = ole.getproperties(SUMMARY)
    if found.get(PID_CODEPAGE) != codepage:
        sys.exit(f"the summary declares code page {found.get(PID_CODEPAGE)}, the package {codepage}")
    moment = time.strftime("%Y/%m/%d %H:%M:%S", time.gmtime(epoch))
    values = {pid: value.decode("utf-8").encode(f"cp{codepage}") for pid, value in found.items()
              if isinstance(value, bytes)}
    return values | {PID_TEMPLATE: template, PID_REVNUMBER: ZERO_CODE, PID_CREATE_DTM: moment,
                     PID_LASTSAVE_DTM: moment}


def write_summary(package, values, work):
    """Writes summary properties with msibuild, which keeps the others, and stores an
    imported string's bytes as they are."""
    table = work / "_SummaryInformation.idt"
    table.write_bytes(b"PropertyId\tValue\r\ni2\tl255\r\n_SummaryInformation\tPropertyId\r\n" + b"".join(
        b"%d\t%s\r\n" % (pid, value if isinstance(value, bytes) else value.encode("ascii"))
        for pid, value in sorted(values.items())))
    subprocess.run(["msibuild", str(package), "-i", str(table)], check=True, capture_output=True,
                   env=dict(os.environ, TZ="UTC"))
