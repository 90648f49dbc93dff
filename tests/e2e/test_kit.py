"""End-to-end tests of the deployment kit: the MSI under Wine's msiexec, its
truthful failure, signing, and the files beside it."""
import base64
import contextlib
import glob
import io
import hashlib
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

import olefile
from asn1crypto import cms, pem
from asn1crypto import x509 as asn1x509
from cryptography import x509 as cx509
from cryptography.hazmat.primitives import hashes, serialization

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(1, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import kit_verify  # noqa: E402
import pki  # noqa: E402
import winetest  # noqa: E402
from kit import SIGNED  # noqa: E402
from kit_files import write_sums  # noqa: E402

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
KIT_SCRIPT = os.path.join(ROOT, "scripts", "kit.py")
WXS = os.path.join(ROOT, "src", "msi", "install-ca-certs.wxs")
KIT = os.environ.get("KIT_DIR", winetest.PLATFORM.arch.kit)
SUMS = "SHA256SUMS"
SHIPPED = os.path.join(KIT, "install-ca-certs.msi")
CHECKER = os.path.join(winetest.BUILD, "check-ca-certs.dll")
HELPER = winetest.HELPER
with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
    _cmake = f.read()
VERSION = re.search(r"project\(install-ca-certs VERSION (\S+)", _cmake).group(1)
# The last release as recorded: {"VERSION": ..., "TIME": ..., "PRODUCT_CODE": ...}.
RELEASE = dict(re.findall(r"^set\(RELEASE_(\w+) ?(\S*)\)$", _cmake, re.M))
RELEASE["SUMS"] = os.path.join(ROOT, "release", RELEASE["VERSION"], "SHA256SUMS")
PRODUCT_NAME = "Сертификаты Минцифры России, ФНС и АО «Аналитический центр»"
UNINSTALL = r"Software\Microsoft\Windows\CurrentVersion\Uninstall"
# The package's marker is a 32-bit component: in a 64-bit prefix, as on 64-bit
# Windows, it is in the 32-bit view of the registry.
MARKER = (r"Software\Wow6432Node\install-ca-certs" if winetest.PLATFORM.arch.name == "win64"
          else r"Software\install-ca-certs")

ROWS, thumbprint = winetest.ROWS, winetest.thumbprint
EXPECTED = {thumbprint(der): store for _, store, der in ROWS}


def build_kit(out, image=winetest.IMAGE, env=None, version=VERSION, release=None, verify=None,
              script=KIT_SCRIPT):
    """Builds a kit into `out` as `make dist` does, by default as an unreleased build of
    VERSION at the release's time; with `verify`, checks that kit against it (True: the
    kit that KIT in the environment names)."""
    release = release or {"VERSION": "", "TIME": RELEASE["TIME"]}
    return subprocess.run(
        ["/usr/bin/python3", script, "verify" if verify else "build", "--version", version,
         *[f"--release-{k.lower().replace('_', '-')}={v}" for k, v in release.items()],
         "--arch", winetest.PLATFORM.arch.msi_arch, "--image", image, "--checker", CHECKER,
         "--wxs", WXS, "--source", winetest.SOURCE, *(["--kit", verify] if isinstance(verify, str) else
                                                    [] if verify else ["--out", out])],
        check=not verify, capture_output=True, text=True, env=dict(os.environ, **(env or {})))


def export(msi, table):
    """The rows of a table, as msiinfo exports them, without the header lines."""
    out = subprocess.run(["msiinfo", "export", msi, table], check=True,
                         capture_output=True, text=True).stdout
    return [line.split("\t") for line in out.replace("\r\n", "\n").split("\n")[3:] if line]


def product_code(msi):
    return dict(row[:2] for row in export(msi, "Property"))["ProductCode"]


class KitTest(unittest.TestCase, winetest.StoresAssertions):
    def prefix(self):
        return winetest.prefix_for(self)

    def work(self):
        work = tempfile.mkdtemp(prefix="kit-", dir=winetest.WINE_ROOT)
        self.addCleanup(shutil.rmtree, work, True)
        return work

    def launch(self, prefix, line, expect):
        """Runs a command line with Wine's msi trace and checks its exit status against
        `expect`; returns (log, trace), the log being the verbose one that msiexec /i
        below asks for (neither Wine release writes MsiLogging's)."""
        log = pathlib.Path(prefix, "drive_c", "msi.log")
        log.unlink(missing_ok=True)
        # Through the helper, which reads the whole exit code: the host sees only its
        # low byte (1603 would arrive as 67).
        _, out, _, trace = winetest.run(prefix, [HELPER, "launch", line.encode().hex()],
                                        channels="trace+msi", keep_trace=True, timeout=300)
        raw = log.read_bytes() if log.exists() else b""
        text = raw.decode("utf-16") if raw[:2] == b"\xff\xfe" else raw.decode("cp1252")
        self.assertEqual(int(re.search(r"^exit (\d+)\r?$", out, re.M).group(1)), expect,
                         f"{line}: exit status; it said:\n{out[-1500:]}\nthe log ends:\n" + text[-3000:])
        return text, trace

    def install(self, prefix, msi, *properties, expect=0):
        return self.launch(prefix, " ".join(["msiexec", "/i", winetest.windows_path(msi),
                                              *properties, "/qn", "/l*v", r"C:\msi.log"]), expect)

    def assertRegistered(self, prefix, msi=None, version=None):
        """Exactly this build is in Programs and Features (with its version), and no
        other of the package; none without `msi`."""
        codes = re.findall(r"^\[" + re.escape(UNINSTALL.replace("\\", "\\\\")) +
                           r"\\\\(\{[0-9A-F-]{36}\})\]", winetest.hive_text(prefix, UNINSTALL), re.M)
        ours = {c: winetest.registry_key(prefix, UNINSTALL + "\\" + c) for c in codes}
        ours = {c: keys.get("DisplayVersion") for c, keys in ours.items()
                if keys and keys.get("DisplayName") == PRODUCT_NAME}
        self.assertEqual(ours, {product_code(msi): version} if msi else {}, "the products registered")


class KitInstall(KitTest):
    def test_per_user_refused_then_install_repair_again_and_remove_feature(self):
        prefix = self.prefix()
        # Per-machine only: Wine does not log the launch condition's text, Windows does.
        _, trace = self.install(prefix, SHIPPED, 'ALLUSERS=""', expect=1603)
        self.assertFalse('arg L"-s"' in trace, "a per-user installation must not run the program")
        self.assertRegistered(prefix)
        self.assertIsNone(winetest.registry_key(prefix, MARKER), "nor write the marker")

        log, trace = self.install(prefix, SHIPPED)
        self.assertRowsInstalled(prefix, range(1, 13))
        # Wine's log does not list the script's operations; its msi trace names the
        # program's arguments.
        self.assertRegex(trace, r'HANDLE_CustomType2 exe L"[^"]+\.tmp" arg L"-s"',
                         "the installer must run from the Binary table with the tail -s")
        self.assertEqual(len(re.findall(r"certificate \d+ of 12, (ROOT|CA) store, SHA-1 [0-9A-F]{40}: "
                                        r"present", log)), 12, "the check logs every row")
        self.assertRegistered(prefix, SHIPPED, VERSION)
        marker = {"Version": VERSION, "ProductCode": product_code(SHIPPED)}
        self.assertEqual(winetest.registry_key(prefix, MARKER), marker, "the marker component")
        left = glob.glob(os.path.join(prefix, "drive_c", "users", "*", "Temp", "*.tmp")) + \
            glob.glob(os.path.join(prefix, "drive_c", "windows", "temp", "*.tmp"))
        self.assertEqual(left, [], "the temporary copy of the program must be gone")

        # A repair puts back a certificate and the marker removed since. Wine's
        # msiexec lacks /f, so it gets the letters of the guides' /fomus as properties.
        _, store, der = ROWS[4]  # row 5
        env = winetest.wine_env(prefix)
        winetest.reg(env, "delete", rf"HKLM\{winetest.STORES_KEY}\{store}\Certificates\{thumbprint(der)}")
        winetest.reg(env, "delete", "HKLM\\" + MARKER)
        self.assertNotIn(thumbprint(der), winetest.store_certificates(prefix)[store])
        self.install(prefix, SHIPPED, "REINSTALL=ALL", "REINSTALLMODE=omus")
        self.assertRowsInstalled(prefix, range(1, 13))
        # Wine rewrites it whatever the letters; Windows only with m, as /fomus has.
        self.assertEqual(winetest.registry_key(prefix, MARKER), marker, "the repair rewrites the marker")

        self.install(prefix, SHIPPED)  # a second time: harmless
        self.assertRowsInstalled(prefix, range(1, 13))

        # Removing the only feature is a removal, though REMOVE is not ALL.
        log, trace = self.install(prefix, SHIPPED, "REMOVE=Certificates")
        self.assertFalse('arg L"-s"' in trace, "a removal must not run the program")
        self.assertFalse("certificate 1 of 12" in log + trace, "a removal must not run the check")
        self.assertFalse(winetest.registry_has_key(prefix, MARKER), "the marker goes with the feature")
        self.assertRowsInstalled(prefix, range(1, 13))  # not without REMOVECERTIFICATES=1


class KitRebuild(KitTest):
    def test_another_build_replaces_it_and_the_uninstall_script_removes_any(self):
        # Another build, signed: Wine ignores the signature, and yet a signed kit must install.
        work = self.work()
        other = os.path.join(work, "kit", "install-ca-certs.msi")
        chain, key = SIGNER.files(work, "signer")
        build_kit(os.path.dirname(other), release={"VERSION": "", "TIME": "1700000000"},
                  env={"SIGN_CERT": chain, "SIGN_KEY": key})
        # Windows refuses a package code it has not seen under an installed
        # ProductCode (1638); neither Wine release does, so this is checked here.
        self.assertNotEqual(product_code(SHIPPED), product_code(other), "another build, another product")
        prefix = self.prefix()
        self.install(prefix, SHIPPED)
        self.install(prefix, other)  # another build of this version replaces it
        self.assertRegistered(prefix, other, VERSION)
        self.assertRowsInstalled(prefix, range(1, 13))
        uninstall = "cmd /c " + winetest.windows_path(os.path.join(KIT, "uninstall-ca-certs.cmd"))
        env = winetest.wine_env(prefix)
        # Whatever the marker says: as installed, as the earliest 1.0.0 wrote it (no
        # ProductCode), or deleted; then once more with nothing installed.
        for marker in ("as installed", "Version only", "deleted", "nothing installed"):
            with self.subTest(marker):
                if marker != "as installed" and marker != "nothing installed":
                    self.install(prefix, SHIPPED)
                    winetest.reg(env, "delete", "HKLM\\" + MARKER,
                                 *(["/v", "ProductCode"] if marker == "Version only" else []))
                self.launch(prefix, uninstall, expect=0)
                self.assertRegistered(prefix)
        self.assertRowsInstalled(prefix, range(1, 13))


class KitUpgrade(KitTest):
    def installed(self, prefix, upgrade_code):
        """The versions of the package's products that Windows Installer has installed (state
        5), as detect-msi.ps1 asks for them: RelatedProducts of its UpgradeCode, ProductState,
        ProductInfo VersionString. PowerShell does not run under Wine; its cscript answers."""
        query = pathlib.Path(prefix, "drive_c", "related.vbs")
        query.write_text('Set i = CreateObject("WindowsInstaller.Installer")\r\n'
                         f'For Each p In i.RelatedProducts("{upgrade_code}")\r\n'
                         ' WScript.Echo i.ProductState(p) & " " & i.ProductInfo(p, "VersionString")\r\n'
                         'Next\r\n')
        out = subprocess.run(winetest.wine(["cscript", "//nologo", r"C:\related.vbs"]), check=True,
                             env=winetest.wine_env(prefix), capture_output=True, text=True).stdout
        return [tuple(map(int, v.split("."))) for state, v in re.findall(r"^(\d+) ([\d.]+)", out, re.M)
                if state == "5"]

    @staticmethod
    def decides(script, versions, stores):
        """What a kit's detect-msi.ps1 decides, with the minimum version it names."""
        minimum = re.search(r"-ge \[version\]'([\d.]+)'", pathlib.Path(script).read_text()).group(1)
        return all(t in stores[s] for t, s in EXPECTED.items()) and \
            any(v >= tuple(map(int, minimum.split("."))) for v in versions)

    def test_upgrades_leave_one_product_and_a_downgrade_is_refused(self):
        work, chain = self.work(), [(VERSION, SHIPPED)]
        major, minor, build = map(int, VERSION.split(".")[:3])  # the fields Windows Installer compares
        for version in (f"{major}.{minor}.{build + 1}", f"{major}.{minor}.{build + 2}"):
            build_kit(os.path.join(work, version), version=version)
            chain.append((version, os.path.join(work, version, "install-ca-certs.msi")))
        scripts = [os.path.join(os.path.dirname(msi), "detect-msi.ps1") for _, msi in chain]
        upgrade_code = re.search(r"'RelatedProducts', .*@\('(\{[0-9A-F-]{36}\})'\)",
                                 pathlib.Path(scripts[0]).read_text()).group(1)
        prefix = self.prefix()
        for i, (version, msi) in enumerate(chain):
            _, trace = self.install(prefix, msi)
            self.assertEqual(trace.count('arg L"-s"'), 1, f"{version} runs the installer, the "
                             "removal of the one it replaces does not")
            # One question after each installation: this version is "installed", and the
            # next one not yet, although all twelve are there.
            versions = self.installed(prefix, upgrade_code)
            stores = winetest.store_certificates(prefix)
            self.assertTrue(self.decides(scripts[i], versions, stores), f"{version} not detected once installed")
            if i + 1 < len(chain):
                self.assertFalse(self.decides(scripts[i + 1], versions, stores),
                                 f"{chain[i + 1][0]} detected before its installation")
            self.assertRegistered(prefix, msi, version)
        log, trace = self.install(prefix, SHIPPED, expect=1603)  # a downgrade
        # Windows logs the launch condition's text; Wine names the newer product.
        self.assertIn(f"WIX_DOWNGRADE_DETECTED = {product_code(msi)}", log)
        self.assertFalse('arg L"-s"' in trace, "a refused downgrade runs nothing")
        self.assertRegistered(prefix, msi, version)


class KitFailure(KitTest):
    def test_damaged_row_fails_the_installation_and_names_what_is_missing(self):
        work = self.work()
        with open(winetest.IMAGE, "rb") as f:
            image = f.read()
        text = base64.b64encode(ROWS[6][2])  # row 7
        self.assertEqual(image.count(text), 1)
        damaged = os.path.join(work, "install-ca-certs.exe")
        with open(damaged, "wb") as f:  # not base64 from its first character on
            f.write(image.replace(text, b"!!!!" + text[4:]))
        build_kit(os.path.join(work, "kit"), image=damaged)
        prefix = self.prefix()
        log, _ = self.install(prefix, os.path.join(work, "kit", "install-ca-certs.msi"), expect=1603)
        self.assertRowsInstalled(prefix, range(1, 7))
        for row, store, der in ROWS:
            state = "present" if row < 7 else "MISSING"
            self.assertIn(f"certificate {row} of 12, {store.upper()} store, SHA-1 {thumbprint(der)}: "
                          f"{state}", log, f"the log must say row {row} is {state}")
        self.assertIn("6 of 12 certificates are missing", log)
        self.assertRegistered(prefix)  # a failed installation does not stay

    def test_absent_store_fails_an_upgrade_and_is_named_in_the_log(self):
        major, minor, build = VERSION.split(".")
        later = os.path.join(self.work(), "kit")
        build_kit(later, version=f"{major}.{minor}.{int(build) + 1}")
        prefix = self.prefix()
        self.install(prefix, SHIPPED)
        winetest.reg(winetest.wine_env(prefix), "delete", rf"HKLM\{winetest.STORES_KEY}\ROOT")
        log, _ = self.install(prefix, os.path.join(later, "install-ca-certs.msi"), expect=1603)
        self.assertEqual(re.findall(r"the local computer's (\w+) store cannot be opened, error (\w+)", log),
                         [("ROOT", "0x00000002")], "CertOpenStore's error, once for the store's rows")
        self.assertIn("3 of 12 certificates are missing", log)
        # Windows rolls the earlier product's removal back with the failed
        # installation and keeps it; Wine does not, and leaves none.
        self.assertRegistered(prefix)



class KitRemoval(KitTest):
    def put(self, prefix, store, der, *under):
        """A certificate in a store of the prefix's registry, as CRYPT32 serializes it
        (its DER as property 32), with a subkey under it if `under` names one."""
        key = rf"HKLM\{winetest.STORES_KEY}\{store}\Certificates\{thumbprint(der)}"
        blob = struct.pack("<III", 32, 1, len(der)) + der
        winetest.reg(winetest.wine_env(prefix), "add", key, "/v", "Blob", "/t", "REG_BINARY", "/d", blob.hex())
        for subkey in under:
            winetest.reg(winetest.wine_env(prefix), "add", rf"{key}\{subkey}")

    def test_uninstalling_removes_the_twelve_only_when_asked(self):
        # Without the property a removal keeps them (KitInstall). With it, through the
        # uninstall script: each of the twelve out of both stores (row 5 also where it
        # does not belong), any other certificate kept.
        prefix, code = self.prefix(), product_code(SHIPPED)
        other = ROOT_CA.certificate.public_bytes(serialization.Encoding.DER)
        uninstall = "cmd /c " + winetest.windows_path(os.path.join(KIT, "uninstall-ca-certs.cmd"))
        self.install(prefix, SHIPPED)
        self.put(prefix, "ROOT", other)
        self.put(prefix, "ROOT", ROWS[4][2])
        self.launch(prefix, uninstall + " REMOVECERTIFICATES=2", expect=87)
        self.assertRegistered(prefix, SHIPPED, VERSION)
        self.launch(prefix, uninstall + " REMOVECERTIFICATES=1", expect=0)
        self.assertRegistered(prefix)
        self.assertEqual(winetest.store_certificates(prefix), {"Root": {thumbprint(other): other}, "CA": {}},
                         "only the certificate that is not one of the twelve stays")

        # A certificate that cannot be removed fails the uninstallation and is named;
        # one already gone is no failure.
        self.install(prefix, SHIPPED)
        winetest.reg(winetest.wine_env(prefix), "delete",
                     rf"HKLM\{winetest.STORES_KEY}\ROOT\Certificates\{thumbprint(ROWS[0][2])}")
        self.put(prefix, "CA", ROWS[6][2], "held")  # Wine's registry store cannot delete a key with a subkey
        log, _ = self.launch(prefix, f"msiexec /x {code} /qn REMOVECERTIFICATES=1 /l*v C:\\msi.log", expect=1603)
        for row, store, der in ROWS:
            said = ("in neither store" if row == 1 else "still in the CA store after its removal" if row == 7
                    else f"removed from the {store.upper()} store")
            self.assertIn(f"certificate {row} of 12, SHA-1 {thumbprint(der)}: {said}", log, f"row {row}")
        self.assertIn("1 of 12 certificates could not be removed; the uninstallation fails", log)
        # Windows rolls the failed removal back and the product stays, to be removed
        # again; Wine does not, and leaves none.
        self.assertRegistered(prefix)


# One throwaway root for the signing tests, its RSA signer (RSA signatures are
# deterministic, so one key signs one file to the same bytes) and its time-stamp
# authority, made once per process.
ROOT_CA = pki.Identity("install-ca-certs test root", ca=True, usage=None, days=(-400, 400))
SIGNER = pki.Identity("install-ca-certs test signer", ROOT_CA, key=2048, days=(-400, 30))
AUTHORITY = pki.Identity("install-ca-certs test time stamps", ROOT_CA, usage=(pki.TIME_STAMPING,),
                         days=(-400, 400))


class KitFiles(unittest.TestCase):
    def test_certificates_detection_script_and_sums(self):
        expected = {thumbprint(der): (store, der) for _, store, der in ROWS}
        folder = os.path.join(KIT, "certificates")
        cers = {name[:-4]: pathlib.Path(folder, name).read_bytes()
                for name in os.listdir(folder) if name.endswith(".cer")}
        self.assertEqual(cers, {t: der for t, (_, der) in expected.items()},
                         "one .cer per row, named by its SHA-1, holding the row's decoded text")

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

        for name in ("detect-msi.ps1", "detect-certificates.ps1"):
            script = pathlib.Path(KIT, name).read_bytes()
            script.decode("ascii")  # Windows PowerShell 5.1 reads a script without BOM as ANSI
            named = re.findall(r"'(Root|CA)\\([0-9A-F]{40})'", script.decode())
            self.assertEqual(sorted((t, s) for s, t in named),
                             sorted((t, "Root" if s == "Root" else "CA") for t, (s, _) in expected.items()),
                             f"{name} names each thumbprint once, with its store")
            self.assertIn(b"Cert:\\LocalMachine\\$_", script)
            self.assertEqual(re.findall(rb"^\s*exit\b.*$", script, re.M), [b"exit 0\r"],
                             f"{name}: one way out, with 0: a non-zero code reads as a failure")

        self.assertEqual(pathlib.Path(KIT, "ProductCode.txt").read_bytes(),
                         product_code(SHIPPED).encode() + b"\r\n", "ProductCode.txt")
        # The changelog's section of the last release carries what the build records.
        date = time.strftime("%Y-%m-%d", time.gmtime(int(RELEASE["TIME"])))
        section = re.search(rf"^## \[{re.escape(RELEASE['VERSION'])}\] - {date}$(.*?)(?=^## |\Z)",
                            pathlib.Path(ROOT, "CHANGELOG.md").read_text(encoding="utf-8"), re.M | re.S)
        self.assertTrue(section, f"CHANGELOG.md: no section for {RELEASE['VERSION']} dated {date}")
        for name in ("PRODUCT_CODE", "MSI_SHA256", "PROGRAM_SHA256"):
            self.assertIn(RELEASE[name], section.group(1), f"CHANGELOG.md: RELEASE_{name}")

        listed = {line[66:]: line[:64] for line in
                  pathlib.Path(KIT, "SHA256SUMS").read_text().splitlines()}
        on_disk = {os.path.relpath(os.path.join(d, n), KIT):
                   hashlib.sha256(pathlib.Path(d, n).read_bytes()).hexdigest()
                   for d, _, names in os.walk(KIT) for n in names if n != "SHA256SUMS"}
        self.assertEqual(listed, on_disk, "SHA256SUMS: every other file, with its SHA-256")

    def test_package_tables_and_summary(self):
        """What only Windows's own reading of the package would show."""
        package = ET.parse(WXS).getroot().find("{http://schemas.microsoft.com/wix/2006/wi}Product")
        texts = package.find("{http://schemas.microsoft.com/wix/2006/wi}Package")
        summary = olefile.OleFileIO(SHIPPED).getproperties("\x05SummaryInformation")
        # PID_CODEPAGE; PID_SUBJECT and PID_COMMENTS as bytes of that code page;
        # PID_TEMPLATE language neutral, for every Windows; PID_PAGECOUNT: Windows
        # Installer 2.0, which Vista has.
        self.assertEqual({pid: summary[pid] for pid in (1, 3, 6, 7, 14)}, {
            1: 1251, 3: texts.get("Description").encode("cp1251"),
            6: texts.get("Comments").encode("cp1251"), 7: b"Intel;0", 14: 200})
        tables = {t: sorted(export(SHIPPED, t)) for t in (
            "Media", "Component", "FeatureComponents", "Registry", "Property", "Upgrade",
            "LaunchCondition", "InstallExecuteSequence")}
        properties = dict(row[:2] for row in tables["Property"])
        upgrade = properties["UpgradeCode"]
        # Media: disk 1 (ICE71). One 32-bit component, its key path the registry value
        # Version; ProductCode beside it. 0x200 VersionMaxInclusive: another build of
        # this version is replaced too, its features migrated (0x1); a later one is only
        # detected, and refused by the launch condition.
        self.assertEqual({t: tables[t] for t in ("Media", "FeatureComponents", "Upgrade")} | {
            "Component": [row[:4] for row in tables["Component"]],
            "Registry": [row[1:] + [row[0] == tables["Component"][0][5]]
                         for row in tables["Registry"]]}, {
            "Media": [["1", "0", "", "", "", ""]],
            "FeatureComponents": [["Certificates", "Marker"]],
            "Upgrade": sorted([
                [upgrade, "0.0.0", VERSION, "", str(0x1 | 0x100 | 0x200), "", "WIX_UPGRADE_DETECTED"],
                [upgrade, VERSION, "", "", "2", "", "WIX_DOWNGRADE_DETECTED"]]),
            "Component": [["Marker", "{B593E4C0-F81E-459B-9AD0-E9B832286C71}", "TARGETDIR", "4"]],
            "Registry": [
                ["2", r"SOFTWARE\install-ca-certs", "ProductCode", "[ProductCode]", "Marker", False],
                ["2", r"SOFTWARE\install-ca-certs", "Version", "[ProductVersion]", "Marker", True]]})
        # Repair offered; language neutral; no restore point; a log of its own with
        # the check's lines (i).
        self.assertEqual([properties.get(name) for name in ("ARPNOREPAIR", "ProductLanguage",
                                                            "MSIFASTINSTALL")], [None, "0", "1"])
        self.assertIn("i", properties["MsiLogging"])
        self.assertEqual(sorted(row[0] for row in tables["LaunchCondition"]), [
            "ALLUSERS = 1", "NOT WIX_DOWNGRADE_DETECTED", "VersionNT >= 600"], "per-machine only")
        sequence = sorted(tables["InstallExecuteSequence"], key=lambda row: int(row[2]))
        actions = [row[0] for row in sequence]
        self.assertEqual(actions[actions.index("InstallInitialize") + 1], "RemoveExistingProducts",
                         "the old product goes before this one registers")
        self.assertEqual({row[0]: row[1] for row in sequence if row[0].endswith(("Installer", "Certificates"))}, {
            "RunInstaller": "NOT REMOVE", "CheckCertificates": "NOT REMOVE",
            "RemoveCertificates": 'REMOVE AND REMOVECERTIFICATES = "1" AND NOT UPGRADINGPRODUCTCODE'},
            "the program and the check never on a removal; the removal only on one that asks, never an upgrade's")
        self.assertEqual(actions[actions.index("InstallFinalize") - 1], "RemoveCertificates",
                         "nothing after the removal can fail the uninstallation")
        self.assertIn("REMOVECERTIFICATES", properties["SecureCustomProperties"].split(";"),
                      "passed to the elevated part of the uninstallation")
        self.assertEqual({row[0]: row[1:4] for row in export(SHIPPED, "CustomAction")}["RemoveCertificates"],
                         [str(1 | 0x400 | 0x800), "CertificateCheck", "RemoveCertificates"],
                         "the DLL's entry from the Binary table, deferred, as LocalSystem")

        # Both guides name the product as Programs and Features shows it, and remove
        # whichever build is installed with the kit's script.
        for guide in ("ADMIN-GUIDE.md", "ADMIN-GUIDE.ru.md"):
            with open(os.path.join(ROOT, "docs", guide), encoding="utf-8") as f:
                text = f.read()
            self.assertTrue(f"`{properties['ProductName']}`" in text, f"{guide}: the name, verbatim")
            self.assertTrue("```bat\nuninstall-ca-certs.cmd\n```" in text, f"{guide}: the uninstall command")

    def test_a_released_version_builds_its_kit_or_nothing(self):
        with tempfile.TemporaryDirectory() as work:
            # Built as being released, it prints the record that names the shipped kit.
            printed = build_kit(os.path.join(work, "kit"),
                                release={"VERSION": VERSION, "TIME": RELEASE["TIME"]}).stdout
            release = dict(re.findall(r"^set\(RELEASE_(\w+) (\S+)\)$", printed, re.M),
                           SUMS=os.path.join(work, "kit", "SHA256SUMS"))
            self.assertEqual(release["PRODUCT_CODE"], product_code(SHIPPED), "the record's package")
            image = shutil.copy(winetest.IMAGE, work)
            with open(image, "r+b") as f:  # the DOS stub, as another toolchain might write it
                f.seek(0x40)
                f.write(b"\1")
            scripts = shutil.copytree(os.path.dirname(KIT_SCRIPT), os.path.join(work, "scripts"))
            template = pathlib.Path(scripts, "kit_files.py")  # a detection that always says "installed"
            template.write_text(template.read_text().replace("if ($missing.Count -eq 0)", "if ($true)"))
            for what, kit, expected in (
                    ("the program", dict(image=image), r"  the program \(SHA-256 \w{64}, released "
                     r"\w{64}\)\n(.*\n)*.*toolchain.*\nRaise VERSION"),
                    ("the detection script", dict(script=os.path.join(scripts, "kit.py")),
                     r"  detect-certificates.ps1 \(SHA-256 \w{64}, released \w{64}\)\nRaise")):
                with self.subTest(what), self.assertRaises(subprocess.CalledProcessError) as refused:
                    build_kit(os.path.join(work, "changed"), release=release, **kit)
                self.assertRegex(refused.exception.stderr, r"released as the package \{.*what differs:\n" + expected)

    @classmethod
    def setUpClass(cls):
        cls.work = pathlib.Path(tempfile.mkdtemp(prefix="kit-files-"))
        cls.chain, cls.key = SIGNER.files(cls.work, "signer")
        cls.roots = ROOT_CA.files(cls.work / "корни ЦС", "roots")[0]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_signed_builds_are_one_package_and_verify(self):
        kits = [self.work / "signed", self.work / "again"]
        said = [build_kit(kit, env={"SIGN_CERT": self.chain, "SIGN_KEY": self.key}).stdout for kit in kits]
        self.assertEqual(*map(kit_contents, kits), "one key signs one package to the same bytes")
        self.assertEqual(product_code(kits[0] / "install-ca-certs.msi"), product_code(SHIPPED),
                         "signed or not, one package")
        until = SIGNER.certificate.not_valid_after
        self.assertRegex(said[0], rf"WARNING: .* no time stamp, .* stop validating on {until:%Y-%m-%d %H:%M} UTC",
                         "signing without a time stamp says when the signatures stop validating")

        # make dist time-stamping through an RFC 3161 authority at SIGN_TIMESTAMP, and
        # make verify as the Makefile calls it: KIT and CAFILE from the environment,
        # with a space and Cyrillic in their paths.
        stamped = self.work / "подписанный комплект"
        with pki.TimeStampAuthority(AUTHORITY, self.work / "tsa") as authority:
            build_kit(stamped, env={"SIGN_CERT": self.chain, "SIGN_KEY": self.key,
                                    "SIGN_TIMESTAMP": authority.url, "no_proxy": "127.0.0.1"})
        for kit, env, signed in ((KIT, {}, ", unsigned"), (stamped, {"KIT": str(stamped), "CAFILE": self.roots},
                                                           ", 4 of them signed, each signature valid today")):
            result = build_kit(None, env=env, verify=True if env else kit)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            self.assertRegex(result.stdout, rf"VERIFIED: the kit in {re.escape(str(kit))} is exactly "
                             rf"what these sources build: .*, \d+ files{signed}")
        self.assertEqual(result.stdout.count(f"by Common Name: {AUTHORITY.certificate.subject.rfc4514_string()[3:]}"),
                         len(SIGNED), "each file time-stamped by the authority")

        # A signing that fails leaves the previous kit as it was, and says why in a line.
        other = pki.Identity("another signer").files(self.work / "other", "other")
        before = kit_contents(kits[0])
        with self.assertRaises(subprocess.CalledProcessError) as refused:
            build_kit(kits[0], env={"SIGN_CERT": other[0], "SIGN_KEY": self.key})
        self.assertRegex(refused.exception.stderr, r"^the kit was not built, .* is as it was: "
                         r"osslsigncode failed \(exit \d+\)[^\n]*\n$")
        self.assertEqual(kit_contents(kits[0]), before, "the previous kit, untouched")

        # An osslsigncode that cannot sign scripts stops the build; it must not
        # leave a signed kit with an unsigned script.
        old = self.work / "old-osslsigncode"
        old.mkdir()
        (old / "osslsigncode").write_text('#!/bin/sh\n[ "$1" = --version ] && echo "osslsigncode 2.5, using:" '
                                          '&& exit 0\nexit 3\n')
        (old / "osslsigncode").chmod(0o755)
        with self.assertRaises(subprocess.CalledProcessError) as refused:
            build_kit(self.work / "old-kit", env={"SIGN_CERT": self.chain, "SIGN_KEY": self.key,
                                                  "PATH": f"{old}{os.pathsep}{os.environ['PATH']}"})
        self.assertIn("cannot sign PowerShell scripts", refused.exception.stderr)

    def test_kits_judged(self):
        """Each row a kit made from the unsigned one, as a forger or a careless signer would
        make it, judged in this process against the unsigned kit as these sources build it:
        its verdict, and the one line that says why. SHA256SUMS is made again to match,
        unless it is the forgery."""
        now, day = pki.NOW, pki.DAY
        exe, msi, script = "install-ca-certs.exe", "install-ca-certs.msi", "detect-msi.ps1"
        Identity, TIME = pki.Identity, pki.TIME_STAMPING
        rsa_ca = Identity("RSA intermediate", ROOT_CA, ca=True, usage=None, key=2048)
        not_ca = Identity("intermediate that is no CA", ROOT_CA, usage=None)
        expired = Identity("expired signer", ROOT_CA, days=(-60, -30))
        servers_root = Identity("install-ca-certs root for servers", ca=True, usage=(pki.SERVER_AUTH,))
        expired_authority = Identity("expired authority", ROOT_CA, usage=(TIME,), days=(-30, -10))
        lone = Identity("signer whose issuer is not carried", ROOT_CA)
        lone.chain = [lone]
        crowded = Identity("signer with a crowd", ROOT_CA)
        crowded.chain += [ROOT_CA] * 23

        def sign(name=exe, signer=SIGNER, authority=None, at=None, *options):
            return lambda kit, keys: pki.sign(kit / name, signer, keys, authority, at, *options)

        def every(**how):
            return then(*(sign(name, **how) for name in SIGNED))

        def then(*steps):  # true if a step wrote SHA256SUMS itself
            return lambda kit, keys: any([step(kit, keys) for step in steps])

        def patch(name, at, value):  # `at`: an offset, or a function of the file's bytes
            def forge(kit, keys):
                data = bytearray((kit / name).read_bytes())
                where = at(data) if callable(at) else at
                data[where] = value if value is not None else data[where] ^ 1
                (kit / name).write_bytes(data)
            return forge

        def append(name, data):
            return lambda kit, keys: (kit / name).write_bytes((kit / name).read_bytes() + data) and None

        def sums(change):
            return lambda kit, keys: (write_sums(kit), (kit / SUMS).write_text(
                change((kit / SUMS).read_text()), newline="")) and True

        def broken_value(kit, keys):  # the last byte of the signer's value, attached as osslsigncode does
            pki.reattach(kit / exe, keys, lambda blob: blob.dump()[:-1] + bytes([blob.dump()[-1] ^ 1]))

        def directory_entry(offset):  # a byte of the package's second directory entry
            return lambda data: (struct.unpack_from("<I", data, 48)[0] + 1) * 512 + 128 + offset

        def signer_info(field, value):  # a field of the program's signer, set to value(the signer)
            def change(blob):
                signer = blob["content"]["signer_infos"][0]
                signer[field] = value(signer)
                return blob.dump()
            return lambda kit, keys: pki.reattach(kit / exe, keys, change)

        # The signer's issuer, which its signature does not sign, in capitals.
        folded = signer_info("sid", lambda signer: cms.SignerIdentifier({"issuer_and_serial_number": {
            "issuer": asn1x509.Name.build({"common_name": "INSTALL-CA-CERTS TEST ROOT"}),
            "serial_number": signer["sid"].chosen["serial_number"].native}}))
        # Its time stamp, then a second attribute holding it again.
        twice_stamped = signer_info("unsigned_attrs", lambda signer: cms.CMSAttributes(
            [signer["unsigned_attrs"][0]] * 2))

        def nested(kit, keys):
            chain, key = Identity("second signer", ROOT_CA).files(keys, "second")
            pki.osslsigncode(kit / script, "sign", "-nest", "-certs", chain, "-key", key, "-time", "1796860800")

        def deep(kit, keys):  # deeper than Python's recursion goes
            write_sums(kit)
            folders = [kit / "certificates" / "d"]
            for _ in range(1100):
                os.mkdir(folders[-1])
                folders.append(folders[-1] / "d")
            self.addCleanup(lambda: [os.rmdir(f) for f in reversed(folders[:-1])])
            return True

        def fifo(kit, keys):
            os.mkfifo(keys / "roots")
            return keys / "roots"

        def roots_file(data):  # a CAFILE holding these bytes
            return lambda kit, keys: (keys / "roots.pem").write_bytes(data) and keys / "roots.pem"

        bad_extension = bytearray(ROOT_CA.certificate.public_bytes(serialization.Encoding.DER))
        bad_extension[bad_extension.index(asn1x509.Certificate.load(bytes(bad_extension))[
            "tbs_certificate"]["extensions"].dump())] = 0x07  # the extensions' [3] tag made another type's

        def another_version(kit, keys):
            subprocess.run(["msibuild", str(kit / msi), "-q", "UPDATE `Property` SET `Value` = '1.0.1' "
                            "WHERE `Property` = 'ProductVersion'"], check=True, capture_output=True)

        def symlink(kit, keys):
            outside = shutil.copy(kit / exe, keys)
            (kit / exe).unlink()
            (kit / exe).symlink_to(outside)

        def sparse(kit, keys):  # SHA256SUMS as it was: its line must not need the whole file read
            write_sums(kit)
            with open(kit / exe, "r+b") as f:
                f.truncate(4 << 30)
            return True

        roots = "roots"
        chain_fails = "the chain of its signer does not hold at "
        aside = "its content, its signature set aside, is not what these sources build"
        for what, forge, cafile, verified, said in (
                # Genuine kits.
                ("RSA signer, no time stamp", every(), roots, True, "chaining to a certificate of"),
                ("ECDSA P-256 signer without EKU behind an intermediate, time-stamped", every(
                    signer=Identity("ECDSA signer without EKU", Identity("intermediate", ROOT_CA, ca=True, usage=None),
                                    usage=None),
                    authority=AUTHORITY, at=now - day), roots, True,
                 "chain verified to Common Name: install-ca-certs test root of CAFILE"),
                ("a self-made root named like a known one, no CAFILE", every(signer=Identity(
                    "signer", Identity("GlobalSign Root CA", ca=True, usage=None))), None, True,
                 "WHO SIGNED IS NOT PROVEN: without CAFILE"),
                # Chains, by GnuTLS's medium profile and the code-signing purpose.
                *((f"SHA-1 on the chain, CAFILE {cafile}", sign(signer=Identity(
                    "signer signed with SHA-1", rsa_ca, digest=hashes.SHA1)), cafile, False, chain_fails)
                  for cafile in (None, roots)),
                ("a signer for time stamping only", sign(signer=Identity("signer", ROOT_CA, usage=(TIME,))), roots,
                 False, "is not for code signing"),
                ("intermediate for servers only", sign(signer=Identity("signer", Identity(
                    "server CA", ROOT_CA, ca=True, usage=(pki.SERVER_AUTH,)))), roots, False, chain_fails),
                ("RSA-1024 signer", sign(signer=Identity("weak signer", ROOT_CA, key=1024)), roots, False,
                 chain_fails),
                ("intermediate that is no CA", sign(signer=Identity("signer", not_ca)), roots, False, chain_fails),
                ("a root that is not CAFILE's", sign(), "other", False, chain_fails),
                ("a root for servers only", sign(signer=Identity("signer", servers_root)), servers_root, False,
                 "install-ca-certs root for servers, whose extended key usage does not name 1.3.6.1.5.5.7.3.3"),
                ("policy constraints, not critical", sign(signer=Identity("signer", Identity(
                    "intermediate", ROOT_CA, ca=True, usage=None, extensions=(cx509.PolicyConstraints(0, None),)))),
                 roots, False, "carries certificate-policy constraints, which this check does not judge"),
                ("only the signer's certificate carried, no CAFILE", sign(signer=lone), None, False,
                 "it carries no issuer of the certificate of its signer, so without CAFILE"),
                ("a signer for key encipherment only", sign(signer=Identity(
                    "signer", ROOT_CA, key_usage=(False, False, True) + (False,) * 6)), roots, False,
                 "is not an end entity's certificate for digital signatures"),
                ("a signer for anyExtendedKeyUsage only", sign(signer=Identity(
                    "signer", ROOT_CA, usage=("2.5.29.37.0",))), roots, False, "is not for code signing"),
                ("a CA as the signer", sign(signer=Identity("CA signer", ROOT_CA, ca=True, usage=None)), roots,
                 False, "is not an end entity's certificate for digital signatures"),
                ("25 certificates carried", sign(signer=crowded), None, False, "carries 25 certificates, more than"),
                # Time stamps.
                ("authority without the time-stamping EKU", sign(authority=Identity(
                    "authority", ROOT_CA, usage=None), at=now), roots, False, "is not for time stamping"),
                ("expired signer stamping itself", sign(signer=expired, authority=Identity(
                    "its own stamps", ROOT_CA, usage=(TIME,), days=(-60, -30), key=expired), at=now - 45 * day),
                 roots, False, "its time stamp is signed with the signer's own key"),
                ("time stamp not in UTC", sign(authority=AUTHORITY, at=(now - day).strftime("%Y%m%d%H%M%S")
                                               + "-2359"), roots, False, "gives a time that is not UTC"),
                ("a time stamp half a second after its authority expired", sign(
                    authority=expired_authority, at=expired_authority.certificate.not_valid_after.strftime(
                        "%Y%m%d%H%M%S.5Z")), roots, False, "the time-stamp authority's certificate, Common Name: "
                 "expired authority, is valid"),
                ("a time stamp before 1970", sign(authority=AUTHORITY, at="19500101000000Z"), roots, False,
                 "before 1970"),
                ("Lifetime Signing, expired, time-stamped", sign(signer=Identity(
                    "lifetime signer", ROOT_CA, usage=(pki.CODE_SIGNING, pki.LIFETIME_SIGNING), days=(-30, -1)),
                    authority=AUTHORITY, at=now - 10 * day), roots, False, "Lifetime Signing usage ends it"),
                ("time stamp in the future", sign(signer=Identity("signer", ROOT_CA, days=(20, 60)),
                                                  authority=AUTHORITY, at=now + 30 * day), roots, False,
                 "later than now"),
                ("time stamp before the authority existed", sign(authority=AUTHORITY, at=now - 500 * day),
                 roots, False, "the time-stamp authority's certificate"),
                ("time stamp before the signer existed", sign(signer=Identity("new signer", ROOT_CA),
                                                              authority=AUTHORITY, at=now - 5 * day), roots,
                 False, "the time its signature was stamped"),
                ("time stamp outside the authority's validity", sign(authority=Identity(
                    "new authority", ROOT_CA, usage=(TIME,)), at=now - 5 * day), roots, False,
                 "the time-stamp authority's certificate, Common Name: new authority, is valid"),
                # Validity today.
                ("signer valid from next month", sign(signer=Identity("signer", ROOT_CA, days=(30, 60))),
                 roots, False, "today, and the signature carries no time stamp"),
                ("expired signer", sign(signer=expired), None, False, "and the signature carries no time stamp"),
                # What the signature does not cover, or does not match.
                # Bytes of the package's compound file: what no signature covers, and what it does.
                *((what, then(sign(msi), patch(msi, at, value)), None, False, said) for what, at, value, said in (
                    ("directory entry's colour", directory_entry(67), None, "although its content is"),
                    ("directory entry's CLSID", directory_entry(80), 1, aside),
                    ("directory entry's state", directory_entry(96), 1, aside),
                    ("directory entry's creation time", directory_entry(100), 1, aside),
                    ("directory entry's modification time", directory_entry(108), 1, aside),
                    ("header's minor version", 24, 0x3F, aside),
                    ("a reserved header byte", 34, 1, "although its content is"))),
                ("bytes after the package", then(sign(msi), append(msi, bytes(512))), None, False,
                 "although its content is"),
                ("text after the script's block", then(sign(script), append(script, b"Write-Output x\r\n")),
                 None, False, "although its content is"),
                ("page hashes", sign(exe, SIGNER, None, None, "-ph"), None, False,
                 "signs other content than a signature of this file does"),
                ("a package signed otherwise", sign(msi, SIGNER, None, None, "-add-msi-dse"), None, False,
                 "signed it otherwise"),
                ("content changed, then signed", then(patch(exe, 0x40, None), sign()), None, False, aside),
                ("broken signature value", then(sign(), broken_value), None, False,
                 "the value of its signature does not verify"),
                ("the signer named in other letters", then(sign(), folded), None, False,
                 "does not carry its signer's certificate"),
                ("unauthenticated blob", sign(msi, SIGNER, None, None, "-addUnauthenticatedBlob"), None, False,
                 "its signature carries an unauthenticated blob"),
                ("two time stamps", then(sign(authority=AUTHORITY, at=now - day), twice_stamped), roots, False,
                 "its signature carries more than one time stamp"),
                ("nested signature", then(sign(script), nested), None, False,
                 "its signature carries a nested second signature"),
                # SHA256SUMS, as sha256sum -c reads it.
                *((f"lines parted by {ascii(end)}", sums(lambda t, end=end: t.replace("\n", end, 1)), None, False,
                   "SHA256SUMS line 1 names") for end in ("\u2028", "\x85", "\x1e", "\x0c", "\x0b")),
                ("CRLF", sums(lambda t: t.replace("\n", "\r\n")), None, False, "SHA256SUMS has CR characters"),
                ("wrong first duplicate", sums(lambda t: "0" * 64 + f"  {exe}\n" + t), None, False,
                 f"SHA256SUMS line 1 gives another SHA-256 for {exe}"),
                ("comment", sums(lambda t: "# SHA-256\n" + t), None, False, "SHA256SUMS line 1 is not "),
                # Inputs.
                ("1,100 nested folders", deep, None, False, "certificates/d/ is a folder these sources do not build"),
                ("a 4 GiB sparse program", sparse, None, False, f"{exe}: is 4294967296 bytes, more than"),
                ("symbolic link", symlink, None, False, f"{exe} is a symbolic link"),
                ("CAFILE a pipe", then(), fifo, False, "is not a regular file"),
                ("CAFILE with a malformed block", then(), roots_file(
                    ROOT_CA.pem() + b"-----BEGIN CERTIFICATE-----\nMIIB!\n-----END CERTIFICATE-----\n"), False,
                 "block 2 is not a well-formed PEM"),
                ("CAFILE with a malformed extension", then(), roots_file(pem.armor("CERTIFICATE", bytes(
                    bad_extension))), False, "block 1 is not a well-formed PEM"),
                ("CAFILE of 1,001 certificates", then(), roots_file(ROOT_CA.pem() * 1001), False,
                 "holds more than 1000 certificates"),
                ("KIT longer than a file name may be", lambda kit, keys: str(kit / ("x" * 300)), None, False,
                 "File name too long"),
                ("another version", another_version, None, False, "is install-ca-certs 1.0.1, and these sources "
                 f"build {VERSION}; check it with 1.0.1's sources: git -C ")):
            with self.subTest(what):
                folder = self.work / "judged" / re.sub(r"\W+", "-", what)
                kit, keys = folder / "kit", folder / "keys"
                shutil.copytree(KIT, kit)
                keys.mkdir()
                found = forge(kit, keys)  # True: it wrote SHA256SUMS; a text: the KIT to name
                if found is not True:
                    write_sums(kit)
                chosen = cafile(kit, keys) if callable(cafile) else cafile.files(keys, "root")[0] if isinstance(
                    cafile, pki.Identity) else {roots: self.roots, "other": pki.Identity(
                        "other root", ca=True, usage=None).files(keys, "other")[0]}.get(cafile)
                out = io.StringIO()
                with contextlib.redirect_stdout(out):
                    result = kit_verify.main(found if isinstance(found, str) else str(kit), chosen and str(chosen),
                                             VERSION, pathlib.Path(winetest.BUILD),
                                             lambda built: shutil.copytree(KIT, built))
                out = out.getvalue()
                self.assertEqual(result, verified, out)
                verdict = out if verified else out[out.rindex("VERIFIED"):] if "\nNOT VERIFIED: " in out else out
                self.assertIn(said, verdict, out)
                if callable(cafile) or isinstance(found, str) or what == "another version":
                    self.assertEqual(len(out.splitlines()), 1, f"one plain line: {out}")

def kit_contents(kit):
    """{name in the kit: bytes} of every file of a kit."""
    return {os.path.relpath(os.path.join(d, n), kit): pathlib.Path(d, n).read_bytes()
            for d, _, names in os.walk(kit) for n in names}


if __name__ == "__main__":
    unittest.main()
