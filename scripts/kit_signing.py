"""Authenticode signing of the kit with osslsigncode: the program, the package's
check, the package and the detection script."""
import os
import re
import subprocess
import sys

# osslsigncode signs PowerShell scripts from 2.8 on (Debian 12's backports have 2.9).
SCRIPTS_FROM = (2, 8)


class Signer:
    def __init__(self, cert, key, pkcs12, passfile, timestamp):
        if pkcs12 and (cert or key):
            sys.exit("sign with SIGN_CERT and SIGN_KEY, or with SIGN_PKCS12, not both")
        if bool(cert) != bool(key):
            sys.exit("SIGN_CERT and SIGN_KEY go together")
        self.credentials = ["-pkcs12", pkcs12] if pkcs12 else ["-certs", cert, "-key", key]
        if passfile:
            self.credentials += ["-readpass", passfile]
        self.timestamp = ["-ts", timestamp] if timestamp else []

    def check_scripts(self):
        """Stops the build unless osslsigncode can sign the detection script: a signed
        kit with an unsigned script fails where PowerShell runs AllSigned."""
        out = subprocess.run(["osslsigncode", "--version"], capture_output=True, text=True).stdout
        found = re.match(r"osslsigncode (\d+)\.(\d+)", out)
        version = tuple(map(int, found.groups())) if found else (0, 0)
        if version < SCRIPTS_FROM:
            sys.exit(f"{out.splitlines()[0] if out else 'osslsigncode'} cannot sign PowerShell "
                     "scripts, and a signed kit needs a signed detection script: install "
                     "osslsigncode 2.8 or later (Debian 12: bookworm-backports)")

    def sign(self, source, target, description):
        subprocess.run(["osslsigncode", "sign", *self.credentials, "-h", "sha256",
                        "-n", description, *self.timestamp, "-in", str(source), "-out", str(target)],
                       check=True, stdout=subprocess.DEVNULL)


def signer_from(args):
    value = {name: getattr(args, name) or os.environ.get(name.upper()) for name in
             ("sign_cert", "sign_key", "sign_pkcs12", "sign_passfile", "sign_timestamp")}
    if not (value["sign_cert"] or value["sign_key"] or value["sign_pkcs12"]):
        return None
    return Signer(value["sign_cert"], value["sign_key"], value["sign_pkcs12"],
                  value["sign_passfile"], value["sign_timestamp"])
