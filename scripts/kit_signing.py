"""Authenticode signing of the kit with osslsigncode (the program, the package and
the detection script), and reading a signature back for `make verify`."""
import os
import re
import subprocess
import sys

# osslsigncode signs PowerShell scripts from 2.8 on (Debian 12's backports have 2.9).
SCRIPTS_FROM = (2, 8)


class Signer:
    def __init__(self, cert, key, pkcs12, passfile, timestamp, time):
        if pkcs12 and (cert or key):
            sys.exit("sign with SIGN_CERT and SIGN_KEY, or with SIGN_PKCS12, not both")
        if bool(cert) != bool(key):
            sys.exit("SIGN_CERT and SIGN_KEY go together")
        self.credentials = ["-pkcs12", pkcs12] if pkcs12 else ["-certs", cert, "-key", key]
        if passfile:
            self.credentials += ["-readpass", passfile]
        # RSA signatures are deterministic, so with the release's time as the signing
        # time one key signs a file to the same bytes. A time stamp is the authority's
        # own time and signature, new at every signing: such a kit is signed once.
        self.time = ["-ts", timestamp] if timestamp else ["-time", str(time)]

    def check_scripts(self):
        """Stops the build unless osslsigncode can sign the detection script: a signed
        kit with an unsigned script fails where PowerShell runs AllSigned."""
        out = subprocess.run(["osslsigncode", "--version"], capture_output=True, text=True).stdout
        found = re.match(r"osslsigncode (\d+)\.(\d+)", out)
        version = tuple(map(int, found.groups())) if found else (0, 0)
        if version < SCRIPTS_FROM:
            sys.exit(f"{out.splitlines()[0] if out else 'osslsigncode'} cannot sign PowerShell "
                     "scripts, and a signed kit needs a signed detection script: install "
                     "osslsigncode 2.8 or later (Debian 12: bookworm-backports; "
                     "scripts/ensure-deps.sh does it)")

    def sign(self, source, target, description):
        subprocess.run(["osslsigncode", "sign", *self.credentials, "-h", "sha256",
                        "-n", description, *self.time, "-in", str(source), "-out", str(target)],
                       check=True, stdout=subprocess.DEVNULL)


def signer_from(args, time):
    value = {name: getattr(args, name, None) or os.environ.get(name.upper()) for name in
             ("sign_cert", "sign_key", "sign_pkcs12", "sign_passfile", "sign_timestamp")}
    if not (value["sign_cert"] or value["sign_key"] or value["sign_pkcs12"]):
        return None
    return Signer(value["sign_cert"], value["sign_key"], value["sign_pkcs12"],
                  value["sign_passfile"], value["sign_timestamp"], time)


class Signature:
    """What osslsigncode reads of a file's signature: `signed`, `intact` (the digest it
    carries is the file's), `signer`, `issuer`, `time` (the signing time it claims),
    `timestamp` (the time-stamp authority's time, or None), `trusted` and `trust`
    (whether the chain ends at a root of `cafile`, or of the system's list, and
    osslsigncode's word on it)."""

    def __init__(self, path, cafile=None):
        result = subprocess.run(["osslsigncode", "verify", "-ignore-cdp", "-in", str(path),
                                 *(["-CAfile", cafile] if cafile else [])],
                                capture_output=True, text=True)
        out = result.stdout + result.stderr
        field = lambda pattern: (re.search(pattern, out, re.M) or [None, None])[1]  # noqa: E731
        # The digest in the signature against the file's: "message digest" for programs
        # and scripts, "DigitalSignature" for packages (which also print a calculated
        # message digest, alone).
        pairs = {}
        for which, kind, value in re.findall(
                r"^(Current|Calculated) (message digest|DigitalSignature)\s*:\s*(\w+)", out, re.M):
            pairs.setdefault(kind, {})[which] = value
        self.signed = bool(pairs) or "Signer's certificate" in out
        complete = [pair for pair in pairs.values() if len(pair) == 2]
        self.intact = self.signed and bool(complete) and \
            all(pair["Current"] == pair["Calculated"] for pair in complete)
        signer = out.split("Signer's certificate:", 1)[1] if "Signer's certificate:" in out else ""
        self.signer = (re.search(r"Subject: (.*)", signer) or [None, None])[1]
        self.issuer = (re.search(r"Issuer : (.*)", signer) or [None, None])[1]
        self.time = field(r"^\s*Signing time: (.*)$")
        self.timestamp = field(r"^\s*Timestamp time: (.*)$")
        self.trusted = bool(re.search(r"^Signature verification: ok", out, re.M))
        errors = re.findall(r"^\s*Error: (.*)$", out, re.M)
        roots = cafile or "the system's CA list"
        self.trust = f"chains to a root of {roots}" if self.trusted else \
            f"does not chain to a root of {roots}" + (f" ({errors[0]})" if errors else "")

    def __str__(self):
        if not self.intact:
            return "its signature does not match it: the file was changed after it was signed"
        return (f"signed by {self.signer}, issued by {self.issuer}, signing time {self.time}, "
                f"{'time-stamped ' + self.timestamp if self.timestamp else 'no time stamp'}; "
                f"the signature {self.trust}")


def remove_signature(source, target):
    subprocess.run(["osslsigncode", "remove-signature", "-in", str(source), "-out", str(target)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
