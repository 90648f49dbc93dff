"""End-to-end tests of the deployment kit: the MSI under Wine's msiexec, its
truthful failure, signing, and the files beside it."""
import base64
import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

import olefile

sys.path.insert(0, os.path.dirname(__file__))
import winetest  # noqa: E402

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
SOURCE = os.path.join(ROOT, "src", "installer", "embedded_certificates.cpp")
KIT_SCRIPT = os.path.join(ROOT, "scripts", "kit.py")
WXS = os.path.join(ROOT, "src", "msi", "install-ca-certs.wxs")
KIT = os.environ.get("KIT_DIR", winetest.PLATFORM.arch.kit)
CHECKER = os.path.join(winetest.BUILD, "check-ca-certs.dll")
HELPER = winetest.HELPER
VERSION = os.environ.get("KIT_VERSION", "0.0.0")
TABLE_SHA256 = os.environ.get("KIT_TABLE_SHA256", "")
PRODUCT_NAME = "Сертификаты Минцифры России, ФНС и АО «Аналитический центр»"
UNINSTALL = r"Software\Microsoft\Windows\CurrentVersion\Uninstall"
# The package's marker is a 32-bit component: in a 64-bit prefix, as on 64-bit
# Windows, it is in the 32-bit view of the registry.
MARKER = (r"Software\Wow6432Node\install-ca-certs" if winetest.PLATFORM.arch.name == "win64"
          else r"Software\install-ca-certs")

ROWS = winetest.embedded_rows(SOURCE)


def thumbprint(der):
    return hashlib.sha1(der).hexdigest().upper()


def build_kit(out, image=winetest.IMAGE, env=None, version=VERSION, table=TABLE_SHA256):
    return subprocess.run(["/usr/bin/python3", KIT_SCRIPT, "build", "--version", version,
                           "--table-sha256", table, "--arch", winetest.PLATFORM.arch.msi_arch,
                           "--image", image, "--checker", CHECKER, "--wxs", WXS,
                           "--source", SOURCE, "--out", out], check=True, capture_output=True,
                          text=True, env=dict(os.environ, **(env or {})))


def export(msi, table):
    """The rows of a table, as msiinfo exports them, without the header lines."""
    out = subprocess.run(["msiinfo", "export", msi, table], check=True,
                         capture_output=True, text=True).stdout
    return [line.split("\t") for line in out.replace("\r\n", "\n").split("\n")[3:] if line]


def product_code(msi):
    out = subprocess.run(["msiinfo", "export", msi, "Property"], check=True,
                         capture_output=True, text=True).stdout
    return re.search(r"^ProductCode\t(\{[0-9A-F-]{36}\})", out, re.M).group(1)


class KitTest(unittest.TestCase):
    def prefix(self):
        return winetest.prefix_for(self)

    def msiexec(self, prefix, *args):
        """Runs msiexec with a verbose log and Wine's msi trace; returns (status, log, trace)."""
        log = os.path.join(prefix, "drive_c", "msi.log")
        if os.path.exists(log):
            os.unlink(log)
        # Through the helper, which reads the whole exit code: the host sees only its
        # low byte (1603 would arrive as 67).
        line = " ".join(["msiexec", *args, "/qn", "/l*v", r"C:\msi.log"])
        _, out, _, trace = winetest.run(prefix, [HELPER, "launch", line.encode().hex()],
                                        channels="trace+msi", keep_trace=True, timeout=300)
        status = int(re.search(r"^exit (\d+)\r?$", out, re.M).group(1))
        with open(log, "rb") as f:
            raw = f.read()
        text = raw.decode("utf-16") if raw[:2] == b"\xff\xfe" else raw.decode("cp1252", "replace")
        return status, text, trace

    def assertRowsInstalled(self, prefix, rows):
        stores = winetest.store_certificates(prefix)
        for row, store, der in ROWS:
            with self.subTest(row=row):
                if row in rows:
                    self.assertEqual(stores[store].get(thumbprint(der)), der,
                                     f"row {row} is not in {store} as the exact certificate")
                else:
                    self.assertNotIn(thumbprint(der), stores[store], f"row {row} was installed")

    def registration(self, prefix, msi):
        return winetest.registry_key(prefix, UNINSTALL + "\\" + product_code(msi))


class KitInstall(KitTest):
    def test_install_again_and_remove(self):
        prefix = self.prefix()
        msi = os.path.join(KIT, "install-ca-certs.msi")

        status, log, trace = self.msiexec(prefix, "/i", winetest.windows_path(msi))
        self.assertEqual(status, 0, "msiexec /i: a complete installation exits 0\n" + log[-3000:])
        self.assertRowsInstalled(prefix, range(1, 13))
        # Wine's log does not list the script's operations; its msi trace names the
        # program's arguments.
        self.assertRegex(trace, r'HANDLE_CustomType2 exe L"[^"]+\.tmp" arg L"-s"',
                         "the installer must run from the Binary table with the tail -s")
        self.assertEqual(len(re.findall(r"certificate \d+ of 12, (ROOT|CA) store, SHA-1 [0-9A-F]{40}: "
                                        r"present", log)), 12, "the check logs every row")
        registration = self.registration(prefix, msi)
        self.assertIsNotNone(registration, "the product must be registered")
        self.assertEqual(registration.get("DisplayName"), PRODUCT_NAME,
                         "Programs and Features must show the Russian name")
        self.assertEqual(registration.get("DisplayVersion"), VERSION)
        self.assertEqual(winetest.registry_key(prefix, MARKER), {"Version": VERSION},
                         "the marker component: Version = [ProductVersion]")
        left = glob.glob(os.path.join(prefix, "drive_c", "users", "*", "Temp", "*.tmp")) + \
            glob.glob(os.path.join(prefix, "drive_c", "windows", "temp", "*.tmp"))
        self.assertEqual(left, [], "the temporary copy of the program must be gone")

        # A repair (Programs and Features, or msiexec /fa) puts back a certificate
        # removed since. Wine's msiexec does not implement /f, so the repair is asked
        # for as /fa asks for it: REINSTALL=ALL with REINSTALLMODE=amus.
        _, store, der = ROWS[4]  # row 5
        winetest.reg(winetest.wine_env(prefix), "delete",
                     rf"HKLM\{winetest.STORES_KEY}\{store}\Certificates\{thumbprint(der)}")
        winetest.wait_server(prefix)
        self.assertNotIn(thumbprint(der), winetest.store_certificates(prefix)[store])
        status, log, _ = self.msiexec(prefix, "/i", winetest.windows_path(msi), "REINSTALL=ALL",
                                      "REINSTALLMODE=amus")
        self.assertEqual(status, 0, "the repair must succeed\n" + log[-3000:])
        self.assertRowsInstalled(prefix, range(1, 13))

        status, log, trace = self.msiexec(prefix, "/i", winetest.windows_path(msi))
        self.assertEqual(status, 0, "msiexec /i a second time must be harmless\n" + log[-3000:])
        self.assertRowsInstalled(prefix, range(1, 13))

        status, log, _ = self.msiexec(prefix, "/x", winetest.windows_path(msi))
        self.assertEqual(status, 0, "msiexec /x\n" + log[-3000:])
        self.assertIsNone(self.registration(prefix, msi), "/x must remove the registration")
        self.assertFalse(winetest.registry_has_key(prefix, MARKER), "/x must remove the marker")
        self.assertRowsInstalled(prefix, range(1, 13))  # never removes a certificate


    def test_later_version_replaces_this_one_and_runs_again(self):
        work = tempfile.mkdtemp(prefix="kit-later-", dir=winetest.WINE_ROOT)
        try:
            # Windows Installer compares the first three fields only.
            major, minor, build = VERSION.split(".")[:3]
            version = f"{major}.{minor}.{int(build) + 1}"
            build_kit(os.path.join(work, "kit"), version=version)
            this, later = (os.path.join(KIT, "install-ca-certs.msi"),
                           os.path.join(work, "kit", "install-ca-certs.msi"))
            prefix = self.prefix()
            self.assertEqual(self.msiexec(prefix, "/i", winetest.windows_path(this))[0], 0)
            status, log, trace = self.msiexec(prefix, "/i", winetest.windows_path(later))
            self.assertEqual(status, 0, log[-3000:])
            self.assertIn('arg L"-s"', trace, "the later version must run the installer again")
            self.assertIsNone(self.registration(prefix, this), "the major upgrade removes this one")
            self.assertEqual((self.registration(prefix, later) or {}).get("DisplayVersion"), version)
        finally:
            shutil.rmtree(work, ignore_errors=True)


class KitFailure(KitTest):
    def test_damaged_row_fails_the_installation_and_names_what_is_missing(self):
        work = tempfile.mkdtemp(prefix="kit-damaged-", dir=winetest.WINE_ROOT)
        try:
            image = open(winetest.IMAGE, "rb").read()
            text = base64.b64encode(ROWS[6][2])  # row 7
            self.assertEqual(image.count(text), 1)
            damaged = os.path.join(work, "install-ca-certs.exe")
            with open(damaged, "wb") as f:  # not base64 from its first character on
                f.write(image.replace(text, b"!!!!" + text[4:]))
            build_kit(os.path.join(work, "kit"), image=damaged)
            prefix = self.prefix()
            msi = os.path.join(work, "kit", "install-ca-certs.msi")
            status, log, _ = self.msiexec(prefix, "/i", winetest.windows_path(msi))
            code = product_code(msi)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        self.assertEqual(status, 1603, "msiexec must report ERROR_INSTALL_FAILURE")
        self.assertRowsInstalled(prefix, range(1, 7))
        for row, store, der in ROWS:
            state = "present" if row < 7 else "MISSING"
            self.assertIn(f"certificate {row} of 12, {store.upper()} store, SHA-1 {thumbprint(der)}: "
                          f"{state}", log, f"the log must say row {row} is {state}")
        self.assertIn("6 of 12 certificates are missing", log)
        self.assertIsNone(winetest.registry_key(prefix, UNINSTALL + "\\" + code),
                          "a failed installation must not stay registered")


class KitSigning(KitTest):
    def test_signed_kit_verifies_installs_and_unsigns_to_the_same_bytes(self):
        work = tempfile.mkdtemp(prefix="kit-signed-", dir=winetest.WINE_ROOT)
        try:
            ca, chain, key = self.make_signing_certificate(work)
            build_kit(os.path.join(work, "kit"), env={"SIGN_CERT": chain, "SIGN_KEY": key})
            signed = {name: os.path.join(work, "kit", name)
                      for name in ("install-ca-certs.exe", "install-ca-certs.msi",
                                   "detect-ca-certs.ps1")}
            for name, path in signed.items():
                result = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", path],
                                        capture_output=True, text=True)
                self.assertEqual(result.returncode, 0, f"{name} must verify against the CA:\n"
                                 + result.stdout + result.stderr)
                self.assertIn("Signature verification: ok", result.stdout)
            unsigned = os.path.join(work, "unsigned.exe")
            subprocess.run(["osslsigncode", "remove-signature", "-in", signed["install-ca-certs.exe"],
                            "-out", unsigned], check=True, stdout=subprocess.DEVNULL)
            with open(unsigned, "rb") as a, open(winetest.IMAGE, "rb") as b:
                self.assertEqual(a.read(), b.read(), "without its signature, the image is the build's")

            # An osslsigncode that cannot sign scripts stops the build; it must not
            # leave a signed kit with an unsigned detection script.
            old = os.path.join(work, "old-osslsigncode")
            os.makedirs(old)
            with open(os.path.join(old, "osslsigncode"), "w") as f:
                f.write('#!/bin/sh\n[ "$1" = --version ] && echo "osslsigncode 2.5, using:" && exit 0\n'
                        "exit 3\n")
            os.chmod(os.path.join(old, "osslsigncode"), 0o755)
            with self.assertRaises(subprocess.CalledProcessError) as refused:
                build_kit(os.path.join(work, "old-kit"), env={
                    "SIGN_CERT": chain, "SIGN_KEY": key,
                    "PATH": old + os.pathsep + os.environ["PATH"]})
            self.assertIn("cannot sign PowerShell scripts", refused.exception.stderr)

            prefix = self.prefix()
            status, log, _ = self.msiexec(prefix, "/i", winetest.windows_path(signed["install-ca-certs.msi"]))
        finally:
            shutil.rmtree(work, ignore_errors=True)
        self.assertEqual(status, 0, log[-3000:])
        self.assertRowsInstalled(prefix, range(1, 13))

    @staticmethod
    def make_signing_certificate(work):
        """A throwaway CA and a code-signing certificate it issued: (CA, chain, key) files."""
        path = lambda name: os.path.join(work, name)  # noqa: E731
        quiet = dict(check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=install-ca-certs test CA", "-keyout", path("ca.key"),
                        "-out", path("ca.pem"), "-addext", "basicConstraints=critical,CA:TRUE",
                        "-addext", "keyUsage=critical,keyCertSign"], **quiet)
        subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj",
                        "/CN=install-ca-certs test signer", "-keyout", path("sign.key"),
                        "-out", path("sign.csr")], **quiet)
        with open(path("ext.cnf"), "w") as f:
            f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=codeSigning\n")
        subprocess.run(["openssl", "x509", "-req", "-in", path("sign.csr"), "-CA", path("ca.pem"),
                        "-CAkey", path("ca.key"), "-CAcreateserial", "-days", "2",
                        "-extfile", path("ext.cnf"), "-out", path("sign.pem")], **quiet)
        with open(path("chain.pem"), "w") as chain:
            for name in ("sign.pem", "ca.pem"):
                with open(path(name)) as part:
                    chain.write(part.read())
        return path("ca.pem"), path("chain.pem"), path("sign.key")


class KitFiles(unittest.TestCase):
    def test_certificates_detection_script_and_sums(self):
        expected = {thumbprint(der): (store, der) for _, store, der in ROWS}
        folder = os.path.join(KIT, "certificates")
        cers = {name[:-4]: open(os.path.join(folder, name), "rb").read()
                for name in os.listdir(folder) if name.endswith(".cer")}
        self.assertEqual(set(cers), set(expected), "one .cer per row, named by its SHA-1")
        for name, der in cers.items():
            self.assertEqual(der, expected[name][1], f"{name}.cer is not the row's decoded text")

        # One PKCS #7 file per store, each for importing into its own store.
        self.assertEqual(sorted(n for n in os.listdir(folder) if not n.endswith(".cer")),
                         ["intermediates.p7b", "roots.p7b"])
        for name, store in (("roots.p7b", "Root"), ("intermediates.p7b", "CA")):
            pem = subprocess.run(["openssl", "pkcs7", "-inform", "DER", "-print_certs",
                                  "-in", os.path.join(folder, name)],
                                 check=True, capture_output=True, text=True).stdout
            bundled = [base64.b64decode("".join(block.split())) for block in
                       re.findall(r"-----BEGIN CERTIFICATE-----(.*?)-----END", pem, re.S)]
            self.assertEqual(sorted(map(thumbprint, bundled)),
                             sorted(t for t, (s, _) in expected.items() if s == store),
                             f"{name} holds exactly the {store} rows")

        with open(os.path.join(KIT, "detect-ca-certs.ps1"), "rb") as f:
            script = f.read()
        script.decode("ascii")  # Windows PowerShell 5.1 reads a script without BOM as ANSI
        named = re.findall(r"'(Root|CA)\\([0-9A-F]{40})'", script.decode())
        self.assertEqual(sorted((t, s) for s, t in named),
                         sorted((t, "Root" if s == "Root" else "CA") for t, (s, _) in expected.items()),
                         "the detection script names each thumbprint once, with its store")
        self.assertIn(b"Cert:\\LocalMachine\\$_", script)
        self.assertEqual(re.findall(rb"^\s*exit\b.*$", script, re.M), [b"exit 0\r"],
                         "one way out of the script, with 0: a non-zero code reads as a failure")

        with open(os.path.join(KIT, "SHA256SUMS")) as f:
            sums = f.read().splitlines()
        listed = {line[66:]: line[:64] for line in sums}
        on_disk = {os.path.relpath(os.path.join(d, n), KIT) for d, _, names in os.walk(KIT)
                   for n in names} - {"SHA256SUMS"}
        self.assertEqual(set(listed), on_disk, "SHA256SUMS covers every other file")
        for name, digest in listed.items():
            with open(os.path.join(KIT, name), "rb") as f:
                self.assertEqual(hashlib.sha256(f.read()).hexdigest(), digest, name)

    def test_package_tables_and_summary(self):
        """What only Windows's own reading of the package would show."""
        msi = os.path.join(KIT, "install-ca-certs.msi")
        package = ET.parse(WXS).getroot().find("{http://schemas.microsoft.com/wix/2006/wi}Product")
        texts = package.find("{http://schemas.microsoft.com/wix/2006/wi}Package")
        summary = olefile.OleFileIO(msi).getproperties("\x05SummaryInformation")
        self.assertEqual(summary[1], 1251, "PID_CODEPAGE")
        self.assertEqual(summary[3], texts.get("Description").encode("cp1251"),
                         "PID_SUBJECT: the bytes in the code page that PID_CODEPAGE declares")
        self.assertEqual(summary[6], texts.get("Comments").encode("cp1251"), "PID_COMMENTS, likewise")
        self.assertEqual(summary[14], 200, "PID_PAGECOUNT: Windows Installer 2.0, which Vista has")
        tables = {t: export(msi, t) for t in ("Media", "Component", "FeatureComponents", "Registry",
                                               "Property")}
        self.assertEqual(tables["Media"], [["1", "0", "", "", "", ""]], "Media: disk 1 (ICE71)")
        self.assertEqual([row[:4] for row in tables["Component"]],
                         [["Marker", "{882AC1AB-1E93-465B-88DA-A03CE9306575}", "TARGETDIR", "4"]],
                         "one 32-bit component with a registry key path")
        self.assertEqual(tables["FeatureComponents"], [["Certificates", "Marker"]])
        self.assertEqual([row[1:] for row in tables["Registry"]],
                         [["2", r"SOFTWARE\install-ca-certs", "Version", "[ProductVersion]", "Marker"]],
                         "HKLM\\SOFTWARE\\install-ca-certs: Version = [ProductVersion]")
        self.assertEqual(tables["Component"][0][5], tables["Registry"][0][0], "the value is the key path")
        self.assertNotIn("ARPNOREPAIR", [row[0] for row in tables["Property"]],
                         "Programs and Features offers a repair")

        # The ProductCode follows the version, so the guides give it for this one.
        code = product_code(msi)
        for guide in ("README.md", os.path.join("docs", "USER-GUIDE.ru.md")):
            with open(os.path.join(ROOT, guide), encoding="utf-8") as f:
                self.assertTrue(f"msiexec /x {code}" in f.read(),
                                f"{guide} must give the uninstall command of version {VERSION}: "
                                f"msiexec /x {code}")

    def test_a_changed_table_needs_a_new_version(self):
        work = tempfile.mkdtemp(prefix="kit-guard-")
        try:
            with self.assertRaises(subprocess.CalledProcessError) as refused:
                build_kit(os.path.join(work, "kit"), table="0" * 64)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        self.assertIn("raise the VERSION", refused.exception.stderr)


if __name__ == "__main__":
    unittest.main()
