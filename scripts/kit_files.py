"""The files beside the package: the certificates as .cer and PKCS #7 files, the
detection scripts from the embedded certificate table, the uninstall script and
SHA256SUMS."""
import hashlib
import pathlib
import subprocess

from asn1crypto import pem

POWERSHELL_STORES = {"ROOT": "Root", "CA": "CA"}
# One PKCS #7 file per store: imported into a single store (a Group Policy node,
# certutil -addstore, the wizard with a fixed store), one file for all would make
# the intermediates trust anchors in Root.
BUNDLES = {"ROOT": "roots.p7b", "CA": "intermediates.p7b"}

# The detection scripts: what each says "installed" to, and what it checks beyond
# the certificates. ASCII with CRLF: Windows PowerShell 5.1 reads a script
# without BOM as ANSI.
DETECTION = """\
# {purpose}
# Written for Windows PowerShell 5.1 and uses nothing newer than 2.0. Generated
# by scripts/kit.py from the installer's own certificate table.
#
# {installed}
# Otherwise no output, exit 0 ("not installed"). Both tools read a non-zero exit
# code as a failure of the script.
#
# To take the certificates out of the fleet, retire the assignment that uses this
# script first (a required one installs them again), then uninstall with the
# property REMOVECERTIFICATES=1 (uninstall-ca-certs.cmd REMOVECERTIFICATES=1).
$expected = @(
{rows}
)
$missing = @($expected | Where-Object {{ -not (Test-Path -LiteralPath "Cert:\\LocalMachine\\$_") }})
{check}exit 0
"""
DETECTIONS = {
    "detect-certificates.ps1": dict(
        purpose="Detection script for install-ca-certs.exe deployed by itself (Intune Win32\n"
                "# app, Configuration Manager script installer), compliance checks and fleet\n"
                "# reports: the certificates alone. For install-ca-certs.msi, detect-msi.ps1.",
        installed="All {count} certificates in the local computer's stores: one line on standard\n"
                  "# output, exit 0 (\"installed\").",
        check="""\
if ($missing.Count -eq 0) {{
  Write-Output 'install-ca-certs: all {count} certificates are installed'
}}
"""),
    "detect-msi.ps1": dict(
        purpose="Detection script for install-ca-certs.msi (Intune Win32 app, Configuration\n"
                "# Manager's Windows Installer deployment type): the certificates and the\n"
                "# package, so that a later version, or a deleted certificate, brings the package\n"
                "# (again). For install-ca-certs.exe, detect-certificates.ps1.",
        installed="All {count} certificates in the local computer's stores, and a product of\n"
                  "# this package (its UpgradeCode) at {version} or later installed for the computer,\n"
                  "# as Windows Installer tells: one line on standard output, exit 0 (\"installed\").",
        check="""\
# Any product of the package, not only this build's: a later version stays
# "installed", and so does this version built again.
$current = @()
try {{
  $installer = New-Object -ComObject WindowsInstaller.Installer
  $type = $installer.GetType()
  foreach ($product in $type.InvokeMember('RelatedProducts', 'GetProperty', $null, $installer, @('{upgrade_code}'))) {{
    $state = $type.InvokeMember('ProductState', 'GetProperty', $null, $installer, @($product))
    $version = $type.InvokeMember('ProductInfo', 'GetProperty', $null, $installer, @($product, 'VersionString'))
    # 5: installed, not merely advertised
    if ($state -eq 5 -and [version]$version -ge [version]'{version}') {{ $current += $product }}
  }}
}} catch {{
  # Windows Installer cannot say: not installed, so that the package runs again.
  $current = @()
}}
if ($missing.Count -eq 0 -and $current.Count -gt 0) {{
  Write-Output "install-ca-certs: all {count} certificates are installed, and the package $($current[0])"
}}
"""),
}
# The scripts of the kit that a signed kit signs (a .cmd file cannot be signed).
SCRIPTS = tuple(DETECTIONS)


def packed(code):
    """A GUID as Windows Installer's registry keys write it: each of the first three
    groups reversed, then each byte's two digits swapped."""
    digits = code.strip("{}").replace("-", "")
    return (digits[7::-1] + digits[11:7:-1] + digits[15:11:-1] +
            "".join(digits[i + 1] + digits[i] for i in range(16, 32, 2)))


# The packed code back into a GUID, in cmd's terms: the inverse of packed().
UNPACK = "{" + "".join(("-" if i in (8, 12, 16, 20) else "") + f"%p:~{j},1%" for i, j in enumerate(
    [7, 6, 5, 4, 3, 2, 1, 0, 11, 10, 9, 8, 15, 14, 13, 12] +
    [j for i in range(16, 32, 2) for j in (i + 1, i)])) + "}"

# Removes every product that Windows Installer registered for the computer under
# the package's UpgradeCode, whatever its marker says (the earliest 1.0.0 wrote no
# ProductCode there) or whether it has one. A file, not a line for a prompt: an
# uninstall field (Intune, Configuration Manager) needs 0 where nothing is
# installed, and cmd gives no reliable exit code for a FOR /F loop that found
# nothing.
UNINSTALL = r"""@echo off
rem Removes every installed build of the install-ca-certs package, the products
rem that Windows Installer registered under its UpgradeCode {upgrade_code}:
rem exits 0 when none is left (also when none was there), otherwise with
rem msiexec's code, or 1603. The certificates stay, unless its one argument is
rem REMOVECERTIFICATES=1: then each removal takes them out of the local
rem computer's stores too (packages of 1.0.3 and later); retire the assignments
rem that install them first. Any other argument changes nothing and exits with
rem 87. Run it as an administrator or as LocalSystem. The key is Windows
rem Installer's own registration for the computer, the same in both registry
rem views; /reg:64 reads it from a 32-bit process too. Its value names are the
rem products' codes, packed.
setlocal
rem A variable of this name would hide the exit codes below.
set errorlevel=
rem The whole tail: cmd splits an argument at its "=".
set property=
if /i "%*"=="REMOVECERTIFICATES=1" (set property=REMOVECERTIFICATES=1) else if not "%*"=="" exit /b 87
set key=HKLM\SOFTWARE\Classes\Installer\UpgradeCodes\{packed}
rem reg says the same for a key that is not there and for a query it cannot
rem make: only a key that is always there tells that a query works here.
reg query HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion /v ProgramFilesDir /reg:64 >nul 2>&1
if errorlevel 1 exit /b 1603
set code=0
for /f "tokens=1,2" %%a in ('reg query %key% /reg:64 2^>nul') do if "%%b"=="REG_SZ" call :remove %%a
for /f "tokens=1,2" %%a in ('reg query %key% /reg:64 2^>nul') do if "%%b"=="REG_SZ" goto left
exit /b 0
:left
if "%code%"=="0" set code=1603
exit /b %code%

:remove
set p=%1
set product={unpack}
start "" /wait msiexec /x %product% /qn /norestart %property%
set result=%errorlevel%
rem Success, a restart asked for or not: only a failure is kept to exit with.
if "%result%"=="0" goto :eof
if "%result%"=="3010" goto :eof
if "%result%"=="1641" goto :eof
set code=%result%
goto :eof
"""


def write_scripts(folder, rows, version, upgrade_code):
    lines = ",\n".join(f"  '{POWERSHELL_STORES[row.store]}\\{row.thumbprint}'" for row in rows)
    for name, parts in DETECTIONS.items():
        text = DETECTION.format(rows=lines, **{k: v.format(count=len(rows), version=version,
                                                            upgrade_code=upgrade_code)
                                               for k, v in parts.items()})
        (folder / name).write_bytes(text.replace("\n", "\r\n").encode("ascii"))
    text = UNINSTALL.replace("{upgrade_code}", upgrade_code).replace("{packed}", packed(upgrade_code))
    (folder / "uninstall-ca-certs.cmd").write_bytes(
        text.replace("{unpack}", UNPACK).replace("\n", "\r\n").encode("ascii"))


def write_certificates(folder, rows, work):
    folder.mkdir()
    for row in rows:
        (folder / f"{row.thumbprint}.cer").write_bytes(row.der)
    for store, name in BUNDLES.items():
        command = ["openssl", "crl2pkcs7", "-nocrl", "-outform", "DER", "-out", str(folder / name)]
        for row in rows:
            if row.store != store:
                continue
            (work / f"{row.thumbprint}.pem").write_bytes(pem.armor("CERTIFICATE", row.der))
            command += ["-certfile", str(work / f"{row.thumbprint}.pem")]
        subprocess.run(command, check=True, capture_output=True)


def files(folder):
    """{name as SHA256SUMS writes it: path} of every file of a kit but SHA256SUMS."""
    return {p.relative_to(folder).as_posix(): p for p in sorted(folder.rglob("*"))
            if p.is_file() and p.name != "SHA256SUMS"}


def sha256(path):
    return hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()


def write_sums(folder):
    (folder / "SHA256SUMS").write_text(
        "".join(f"{sha256(path)}  {name}\n" for name, path in files(folder).items()))
