"""Authenticode signing of the kit with osslsigncode: the program, the package and
the scripts."""
import os
import re
import subprocess
import sys

import kit_verify

# osslsigncode signs PowerShell scripts from 2.8 on (Debian 12's backports have 2.9).
SCRIPTS_FROM = (2, 8)


class Signer:
    def __init__(self, cert, key, pkcs12, passfile, timestamp, time):
        if pkcs12 and (cert or key):
            sys.exit("sign with SIGN_CERT and SIGN_KEY, or with SIGN_PKCS12, not both")
        if bool(cert) != bool(key):
            sys.exit("SIGN_CERT and SIGN_KEY go together")
        for name, path in {"SIGN_CERT": cert, "SIGN_KEY": key, "SIGN_PKCS12": pkcs12,
                           "SIGN_PASSFILE": passfile}.items():
            if path and not os.access(path, os.R_OK):
                sys.exit(f"{name}={path}: no such file, or it cannot be read; the kit was not built")
        self.credentials = (["-pkcs12", pkcs12] if pkcs12 else ["-certs", cert, "-key", key]) + \
            (["-readpass", passfile] if passfile else [])
        # RSA signatures are deterministic, so with the release's time as the signing
        # time one key signs a file to the same bytes. A time stamp is the authority's
        # own time and signature, new at every signing: such a kit is signed once.
        self.time = ["-ts", timestamp] if timestamp else ["-time", str(time)]

    def check_scripts(self):
        """Stops the build unless osslsigncode can sign the scripts: a signed kit with
        an unsigned script fails where PowerShell runs AllSigned."""
        out = subprocess.run(["osslsigncode", "--version"], capture_output=True, text=True).stdout
        found = re.match(r"osslsigncode (\d+)\.(\d+)", out)
        version = tuple(map(int, found.groups())) if found else (0, 0)
        if version < SCRIPTS_FROM:
            sys.exit(f"{out.splitlines()[0] if out else 'osslsigncode'} cannot sign PowerShell "
                     "scripts, and a signed kit needs signed scripts: install osslsigncode 2.8 or "
                     "later (scripts/ensure-deps.sh does it)")

    def sign(self, source, target, description):
        subprocess.run(["osslsigncode", "sign", *self.credentials, "-h", "sha256",
                        "-n", description, *self.time, "-in", str(source), "-out", str(target)],
                       check=True, capture_output=True)

    @staticmethod
    def lasting(unsigned, program):
        """What the signing means over time, read back from the signed program, whose
        signature must hold as make verify judges it."""
        try:
            found = kit_verify.judge(unsigned, program, None)
        except kit_verify.Fault as fault:
            sys.exit(f"the kit was not built: the program's signature does not hold as make verify "
                     f"judges it: {fault}")
        if found is None:
            sys.exit("the kit was not built: osslsigncode left the program unsigned")
        _, until, timestamped = found
        return (f"The signatures are time-stamped: Windows accepts them after {until:%Y-%m-%d}, when the "
                "signing certificate expires." if timestamped else f"WARNING: the signatures carry no time "
                f"stamp, so on Windows they stop validating on {until:%Y-%m-%d %H:%M} UTC, when the signing "
                "certificate expires; SIGN_TIMESTAMP=<RFC 3161 URL> time-stamps them.")


def signer_from(time):
    """The signer that SIGN_* in the environment name, or None."""
    value = {name: os.environ.get(name) for name in
             ("SIGN_CERT", "SIGN_KEY", "SIGN_PKCS12", "SIGN_PASSFILE", "SIGN_TIMESTAMP")}
    if not (value["SIGN_CERT"] or value["SIGN_KEY"] or value["SIGN_PKCS12"]):
        return None
    return Signer(*value.values(), time)
