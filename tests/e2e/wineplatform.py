#!/usr/bin/python3
"""Which Windows platforms this host can run, and how to run each: the one place
that chooses, for the tests, `make run`, the screenshots and the benchmark.

The shipped image is 32-bit and runs on 32-bit Wine (wine32). Some hosts refuse
to execute 32-bit x86 code at all ("Exec format error"); there 64-bit Wine
(wine64) runs the image's 64-bit twin, built from the same sources in
build/windows64. Where both run, the tests use both, so that neither path rots.

INSTALL_CA_CERTS_ARCH=win32 or win64 (or "win32 win64") forces the choice; a
forced platform that cannot run makes the tests fail, never skip.

Usage: wineplatform.py list      platforms to test, "name:preset" joined by ";"
       wineplatform.py preset    the CMake preset of the platform that make run uses
       wineplatform.py check     what runs here; fails if a platform to test cannot run
"""
import errno
import os
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
FORCE = "INSTALL_CA_CERTS_ARCH"


class Platform:
    def __init__(self, arch, bits, loader, preset, msi_arch, kit, image, package):
        self.arch, self.bits, self.loader, self.preset = arch, bits, loader, preset
        self.msi_arch, self.kit = msi_arch, os.path.join(ROOT, kit)  # the MSI it installs
        self.image, self.package = image, package  # what it runs, and what installs it
        self.name = arch
        self.build = os.path.join(ROOT, "build", preset)
        self.server = os.path.join(os.path.dirname(loader), "wineserver")

    def command(self, args):
        """A Windows program with its arguments, or one of Wine's own (wineboot, reg)."""
        return [self.loader] + list(args)

    def env(self):
        # The loader is named, not found through /usr/bin/wine: that script picks
        # the 32-bit loader whenever wine32 is installed, even where it cannot run.
        return {"WINELOADER": self.loader, "WINEARCH": self.arch}

    def probe(self):
        """(True, Wine's version) if this host runs the loader, else (False, why)."""
        if not os.access(self.loader, os.X_OK):
            return False, f"{self.loader} is not installed: {self.package}"
        try:
            result = subprocess.run([self.loader, "--version"], capture_output=True, text=True,
                                    timeout=60)
        except OSError as error:
            if error.errno == errno.ENOEXEC:
                return False, (f"{self.loader}: {error.strerror}: this host does not execute "
                               f"{self.bits} x86 code")
            return False, f"{self.loader}: {error.strerror}"
        if result.returncode != 0:
            return False, (f"{self.loader} --version exited with {result.returncode}: "
                           f"{(result.stderr or result.stdout).strip()[-200:]}")
        return True, result.stdout.strip()


PLATFORMS = [
    Platform("win32", "32-bit", "/usr/lib/wine/wine", "windows", "x86", "build/dist",
             "the shipped 32-bit image",
             "apt-get install wine32:i386, after dpkg --add-architecture i386"),
    Platform("win64", "64-bit", "/usr/lib/wine/wine64", "windows64", "x64", "build/windows64/dist",
             "the image's 64-bit twin",
             "apt-get install wine64"),
]


def by_name(name):
    for platform in PLATFORMS:
        if platform.name == name:
            return platform
    sys.exit(f"no Windows platform named {name!r}; there are {[p.name for p in PLATFORMS]}")


def forced():
    names = os.environ.get(FORCE, "").replace(",", " ").split()
    return [by_name(name) for name in names]


def to_test():
    """The platforms the tests run on: the forced ones, else every one that runs here."""
    return forced() or [p for p in PLATFORMS if p.probe()[0]]


def chosen():
    """The one platform for make run, the screenshots and the benchmark: the shipped
    image wherever it can run."""
    for platform in to_test():
        if platform.probe()[0]:
            return platform
    sys.exit(report() + "\nNo Windows platform can run here.")


def report():
    lines = ["Windows platforms on this host:"]
    for platform in PLATFORMS:
        runs, detail = platform.probe()
        lines.append(f"  {platform.name} ({platform.image}, build/{platform.preset}): "
                     f"{'runs, ' if runs else 'cannot run: '}{detail}")
    tested = to_test()
    lines.append("The Wine tests run on: " + (", ".join(p.name for p in tested) or "nothing")
                 + (f" (forced by {FORCE})" if forced() else ""))
    if "win32" not in [p.name for p in tested]:
        lines.append("The shipped 32-bit image is checked statically only here (properties, imports, "
                     "manifest, reproducibility); its behaviour is tested through the 64-bit twin, "
                     "built from the same sources.")
    return "\n".join(lines)


def main():
    command = sys.argv[1] if len(sys.argv) > 1 else "check"
    if command == "list":
        print(";".join(f"{p.name}:{p.preset}" for p in to_test()))
    elif command == "preset":
        platform = chosen()
        print(f"Windows platform: {platform.name}, {platform.image}", file=sys.stderr)
        print(platform.preset)
    elif command == "check":
        print(report())
        tested = to_test()
        failing = [p.name for p in tested if not p.probe()[0]]
        if failing:
            print(f"FAIL: {', '.join(failing)} cannot run here (see above); unset {FORCE} to "
                  "test what this host runs", file=sys.stderr)
            return 1
        if not tested:
            print("FAIL: no Windows platform runs here, so no Wine test can run. Install "
                  + ", or ".join(p.package for p in PLATFORMS), file=sys.stderr)
            return 1
    else:
        sys.exit(__doc__)
    return 0


if __name__ == "__main__":
    sys.exit(main())
