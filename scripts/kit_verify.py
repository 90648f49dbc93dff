"""`make verify`: a kit, as an administrator or a security officer downloaded it,
against the kit that the checked-out sources build: every file byte for byte;
a signed file once its signature is set aside, with the signature read; and
SHA256SUMS against the files. It ends with one verdict."""
import pathlib
import subprocess
import tempfile

import olefile

import kit_files
import kit_msi
import kit_signing

SUMS = "SHA256SUMS"
SIGNABLE = (".exe", ".msi", ".ps1")
# The package's signature, which a compound file keeps in streams of its own.
SIGNATURE_STREAMS = ("\x05DigitalSignature", "\x05MsiDigitalSignatureEx")


def byte_difference(ours, theirs):
    """None if equal, else where the kit's bytes leave these sources'."""
    if ours == theirs:
        return None
    at = next((i for i, (a, b) in enumerate(zip(ours, theirs)) if a != b), min(len(ours), len(theirs)))
    return f"differs from byte {at} on ({len(theirs)} bytes; these sources build {len(ours)})"


def package_content(path):
    """What a compound file holds but its layout, which signing rewrites: each
    stream's and storage's name, class and times, and each stream's bytes, the
    signature's streams aside. Windows Installer reads only this, and the
    package's signature covers it."""
    ole = olefile.OleFileIO(str(path))
    content = {"": ("root", ole.root.clsid, ole.root.getctime(), ole.root.getmtime(), None)}
    for entry in ole.listdir(streams=True, storages=True):
        if entry[-1] in SIGNATURE_STREAMS:
            continue
        stream = ole.get_type(entry) == olefile.STGTY_STREAM
        content[kit_msi.stream_name(entry).lstrip("\x05")] = (
            "stream" if stream else "storage", ole.getclsid(entry), ole.getctime(entry),
            ole.getmtime(entry), ole.openstream(entry).read() if stream else None)
    ole.close()
    return content


def package_difference(ours, theirs):
    a, b = package_content(ours), package_content(theirs)
    for name in sorted(a.keys() | b.keys()):
        if name not in b:
            return f"lacks {name}"
        if name not in a:
            return f"has {name}, which these sources do not build"
        if a[name] != b[name]:
            where = byte_difference(a[name][4], b[name][4]) if a[name][:4] == b[name][:4] else \
                "differs in its directory entry"
            return f"{name} {where}"
    return None


def product_version(msi):
    try:
        rows = kit_msi.export_table(msi, "Property")
    except subprocess.CalledProcessError:  # not a package msiinfo can read
        return ""
    return {row["Property"]: row["Value"] for row in rows}.get("ProductVersion", "")


def check_sums(kit, theirs):
    """None if SHA256SUMS lists each file of the kit with its SHA-256, else what is wrong."""
    path = kit / SUMS
    if not path.exists():
        return "is missing"
    listed = dict(reversed(line.split("  ", 1)) for line in path.read_text().splitlines() if line)
    wrong = sorted(name for name, digest in listed.items() if name not in theirs or
                   kit_files.sha256(theirs[name]) != digest)
    unlisted = sorted(theirs.keys() - listed.keys())
    if wrong or unlisted:
        return "; ".join(
            ([f"gives another SHA-256 for {', '.join(wrong)}"] if wrong else []) +
            ([f"does not list {', '.join(unlisted)}"] if unlisted else []))
    return None


def verify(kit, built, version, cafile):
    """Prints one line per file and a verdict; True if the kit is exactly what the
    sources built into `built`."""
    ours, theirs = kit_files.files(built), kit_files.files(kit)
    failures, signed = [], 0
    print(f"\nThe kit in {kit}, against what these sources build:")
    if "install-ca-certs.msi" in theirs:
        found = product_version(theirs["install-ca-certs.msi"])
        if found != version:
            failures.append(f"the kit is install-ca-certs {found or '(no version)'}, these sources "
                            f"build {version}: check out the sources that record its release")
    for name in sorted(ours.keys() | theirs.keys()):
        if name not in theirs:
            failures.append(f"{name} is missing from the kit")
            continue
        if name not in ours:
            failures.append(f"{name} is not something these sources build")
            continue
        mine, downloaded = ours[name].read_bytes(), theirs[name].read_bytes()
        difference = byte_difference(mine, downloaded)
        signature = kit_signing.Signature(theirs[name], cafile) \
            if difference and name.endswith(SIGNABLE) else None
        if signature is None or not signature.signed:
            print(f"  {name}: {difference or 'identical'}")
            if difference:
                failures.append(f"{name} {difference}")
            continue
        signed += 1
        if name.endswith(".msi"):
            difference = package_difference(ours[name], theirs[name])
        else:
            with tempfile.TemporaryDirectory() as work:
                unsigned = pathlib.Path(work, "unsigned")
                kit_signing.remove_signature(theirs[name], unsigned)
                difference = byte_difference(mine, unsigned.read_bytes())
        print(f"  {name}: {difference or 'identical once its signature is set aside'}\n"
              f"      {signature}")
        if difference:
            failures.append(f"{name}, its signature set aside, {difference}")
        if not signature.intact:
            failures.append(f"{name}: its signature does not match it")
        if cafile and not signature.trusted:
            failures.append(f"{name}: its signature {signature.trust}")
    sums = check_sums(kit, theirs)
    print(f"  {SUMS}: {sums or 'lists each file with its SHA-256'}")
    if sums:
        failures.append(f"{SUMS} {sums}")

    if failures:
        print(f"\nNOT VERIFIED: the kit in {kit} is not what these sources build:\n  " +
              "\n  ".join(failures))
        return False
    code = (built / "ProductCode.txt").read_text().strip()
    print(f"\nVERIFIED: the kit in {kit} is exactly what these sources build: install-ca-certs "
          f"{version}, ProductCode {code}, {len(theirs)} files" +
          (f", {signed} of them signed and identical once their signatures are set aside"
           if signed else "") + ".")
    return True
