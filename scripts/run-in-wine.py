#!/usr/bin/python3
"""Runs the installer silently in a throwaway Wine prefix under build/ and shows,
for each of the twelve certificates it carries, whether it is now in the local
computer's ROOT or CA store. It runs the shipped 32-bit image where this host
executes 32-bit code, else the image's 64-bit twin (tests/e2e/wineplatform.py),
and says which.

Usage: run-in-wine.py
"""
import hashlib
import os
import subprocess
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import wineplatform  # noqa: E402
import winetest  # noqa: E402

SOURCE = os.path.join(ROOT, "src", "installer", "embedded_certificates.cpp")


def common_name(der):
    out = subprocess.run(["openssl", "x509", "-inform", "DER", "-noout", "-subject",
                          "-nameopt", "multiline,utf8,-esc_msb"],
                         input=der, capture_output=True, check=True).stdout.decode("utf-8")
    for line in out.splitlines():
        if line.strip().startswith("commonName"):
            return line.split("=", 1)[1].strip()
    return "?"


def main():
    image, platform = winetest.IMAGE, winetest.PLATFORM
    print(f"Image: {platform.arch.image}, {os.path.relpath(image, ROOT)}")
    print(f"Wine:  {platform.probe()[1]}, {platform.arch.bits} ({platform.name})")
    if platform.arch.name != "win32":
        print(f"       the shipped 32-bit image cannot run here: "
              f"{wineplatform.by_name(platform.release.name + '.win32').probe()[1]}")
    print("Preparing a throwaway Wine prefix ...", flush=True)
    prefix = winetest.new_prefix("run")

    print(f"Running: {os.path.basename(image)} -s", flush=True)
    status, _, _ = winetest.run(prefix, [image, "-s"])
    print(f"Exit status: {status} (always 1, by design)\n")

    stores = winetest.store_certificates(prefix)
    winetest.end_session(prefix)
    rows = winetest.embedded_rows(SOURCE)
    print(f"{'Row':>3}  {'Store':<5} {'Subject':<30} {'SHA-1 thumbprint':<40}  Installed")
    installed = 0
    for row, store, der in rows:
        thumbprint = hashlib.sha1(der).hexdigest().upper()
        present = stores[store].get(thumbprint) == der
        installed += present
        name = "ROOT" if store == "Root" else "CA"
        print(f"{row:>3}  {name:<5} {common_name(der):<30} {thumbprint}  "
              f"{'yes' if present else 'NO'}")
    print(f"\n{installed} of {len(rows)} certificates are in the local computer's stores "
          f"(HKLM\\Software\\Microsoft\\SystemCertificates in {os.path.relpath(prefix)}/system.reg).")
    return 0 if installed == len(rows) else 1


if __name__ == "__main__":
    sys.exit(main())
