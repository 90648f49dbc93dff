#!/usr/bin/python3
"""Which Windows platforms this host can run, and how to run each: the one place
that chooses, for the tests, `make run`, the screenshots and the benchmark.

A platform is a Wine release and an architecture:
- the architecture: the shipped image is 32-bit and runs on 32-bit Wine
  (wine32). Some hosts refuse to execute 32-bit x86 code at all ("Exec format
  error"); there 64-bit Wine (wine64) runs the image's 64-bit twin, built from the
  same sources in build/windows64. Where both run, the tests use both, so that
  neither path rots.
- the release: the host's own Wine ("host"; Debian 12: Wine 8.0, Debian 13:
  Wine 10.0), and the other release's, installed with debootstrap into a tree
  (`prepare`) and run there with bubblewrap, the project's folder bound in at the
  same path: on Debian 12, Debian 13's Wine 10.0 in build/debian13 ("debian13");
  elsewhere Debian 12's Wine 8.0 in build/debian12 ("debian12"). Two
  implementations of the platform, so that no test passes through one release's
  leniency.

The released kit is what Debian 12's mingw-w64 and wixl build; other releases'
toolchains build other bytes. So off Debian 12 these run from the Debian 12 tree
too (`toolchain`), through commands in build/toolchain that the Makefile puts
first in PATH.

INSTALL_CA_CERTS_ARCH=win32 or win64 (or "win32 win64") forces the architectures,
INSTALL_CA_CERTS_WINE=host, or the tree's name (debian13 on Debian 12, debian12
elsewhere), the releases; a forced platform that cannot run makes the tests fail,
never skip.

Usage: wineplatform.py list       platforms to test, "name:preset" joined by ";"
       wineplatform.py preset     the CMake preset of the platform that make run uses
       wineplatform.py report     what runs here, and what the tests run on
       wineplatform.py check      the report; fails if a platform to test cannot run
       wineplatform.py prepare    builds the tree's Wine if the tests need it (as root)
       wineplatform.py toolchain  off Debian 12, Debian 12's toolchain in its tree (as root)
"""
import fcntl
import glob
import os
import re
import shlex
import shutil
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
ARCH_FORCE, WINE_FORCE = "INSTALL_CA_CERTS_ARCH", "INSTALL_CA_CERTS_WINE"


def host_release():
    """The host's Debian release, by its code name (VERSION_CODENAME)."""
    try:
        with open("/etc/os-release") as f:
            fields = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    except OSError:
        return ""
    return fields.get("VERSION_CODENAME", "").strip('"')


class Arch:
    def __init__(self, name, bits, loader, preset, msi_arch, kit, image, package):
        self.name, self.bits, self.loader, self.preset = name, bits, loader, preset
        self.msi_arch, self.kit = msi_arch, os.path.join(ROOT, kit)  # the MSI it installs
        self.image, self.package = image, package  # what it runs; the Debian package of its Wine
        self.build = os.path.join(ROOT, "build", preset)


ARCHS = [
    Arch("win32", "32-bit", "/usr/lib/wine/wine", "windows", "x86", "build/dist",
         "the shipped 32-bit image", "wine32:i386"),
    Arch("win64", "64-bit", "/usr/lib/wine/wine64", "windows64", "x64", "build/windows64/dist",
         "the image's 64-bit twin", "wine64"),
]


class Release:
    """The host's Wine (suite None), or the Wine of a Debian tree, build/NAME."""

    def __init__(self, name, suite=None):
        self.name, self.suite = name, suite
        self.tree = os.path.join(ROOT, "build", name) if suite else None
        self.marker = os.path.join(self.tree, ".install-ca-certs-packages") if suite else None

    def wrap(self, command):
        if self.tree is None:
            return command
        cwd = os.getcwd()
        inside = cwd == ROOT or cwd.startswith(ROOT + os.sep)
        # The tree is the root; the project (prefixes, images, traces), the X
        # server's sockets and shared memory (where templates are made) are bound in
        # at their own paths.
        return ["bwrap", "--bind", self.tree, "/", "--bind", ROOT, ROOT,
                "--proc", "/proc", "--dev", "/dev", "--bind-try", "/dev/shm", "/dev/shm",
                "--bind-try", "/tmp/.X11-unix", "/tmp/.X11-unix",
                "--chdir", cwd if inside else ROOT, "--"] + command

    def installed(self):
        """The Debian packages installed in the tree."""
        if self.marker is None or not os.path.exists(self.marker):
            return []
        with open(self.marker) as f:
            return f.read().split()

    def prepare(self, packages, command):
        """Creates the tree with debootstrap, or adds to it, until it holds
        `packages` (what `command` of this script needs). One preparation at a time:
        make test starts one early, and the tests' own waits for it to end."""
        if self.tree is None or not [p for p in packages if p not in self.installed()]:
            return
        os.makedirs(os.path.dirname(self.tree), exist_ok=True)
        with open(self.tree + ".lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            self._prepare([p for p in packages if p not in self.installed()], command)

    def _prepare(self, missing, command):
        if not missing:
            return
        if os.geteuid() != 0:
            sys.exit(f"{self.tree}: {' '.join(missing)} of Debian {self.suite} missing; "
                     f"building it needs root: sudo {sys.executable} {__file__} {command}")
        for tool in ("debootstrap", "bwrap"):
            if shutil.which(tool) is None:
                sys.exit(f"{tool} is missing: scripts/ensure-deps.sh installs it")
        mirror = os.environ.get("DEBIAN_MIRROR", "http://deb.debian.org/debian")
        quiet = dict(check=True, stdout=subprocess.DEVNULL)
        where = os.path.relpath(self.tree, ROOT)
        print(f"Installing {' '.join(missing)} of Debian {self.suite} in {where} (once; a minute "
              "or two) ...", flush=True)
        if not os.path.exists(self.marker):
            partial = self.tree + ".partial"
            shutil.rmtree(partial, ignore_errors=True)
            shutil.rmtree(self.tree, ignore_errors=True)
            subprocess.run(["debootstrap", "--variant=minbase", self.suite, partial, mirror], **quiet)
            # Wine's packages without what the tests never read.
            with open(os.path.join(partial, "etc", "dpkg", "dpkg.cfg.d", "excludes"), "w") as f:
                f.write("".join(f"path-exclude=/usr/share/{d}/*\n" for d in ("doc", "info", "locale", "man")))
            os.rename(partial, self.tree)
        chroot = ["chroot", self.tree]
        if any(p.endswith(":i386") for p in missing):
            subprocess.run(chroot + ["dpkg", "--add-architecture", "i386"], check=True)
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(chroot + ["apt-get", "update", "-q"], env=env, **quiet)
        # No terminal here: dpkg's pty log would only complain.
        subprocess.run(chroot + ["apt-get", "install", "-y", "-q", "--no-install-recommends",
                                 "-o", "Dpkg::Use-Pty=0", *missing], env=env, **quiet)
        subprocess.run(chroot + ["apt-get", "clean"], check=True)
        for lists in glob.glob(os.path.join(self.tree, "var", "lib", "apt", "lists", "*_*")):
            os.unlink(lists)  # package lists, fetched again when packages are added
        packages = sorted(set(self.installed() + missing))  # read before the file is rewritten
        with open(self.marker, "w") as f:
            f.write(" ".join(packages) + "\n")
        size = subprocess.run(["du", "-sh", self.tree], capture_output=True, text=True).stdout
        print(f"{where} holds {' '.join(packages)}: {size.split()[0] if size else '?'}")


HOST_RELEASE = host_release()
# The other release: Debian 13 on Debian 12, Debian 12 elsewhere.
RELEASES = [Release("host"), Release("debian13", "trixie") if HOST_RELEASE == "bookworm"
            else Release("debian12", "bookworm")]
TOOLCHAIN = os.path.join(ROOT, "build", "toolchain")


def toolchain():
    """Off Debian 12: Debian 12's cross compilers, binutils, wixl and msitools in its
    tree, each run by a command of the same name in build/toolchain that mounts the
    tree's /usr and /etc over the host's, all else the host's (the project, /tmp)."""
    shutil.rmtree(TOOLCHAIN, ignore_errors=True)
    if HOST_RELEASE == "bookworm":
        return
    tree = RELEASES[1]
    tree.prepare(["g++-mingw-w64-i686-win32", "g++-mingw-w64-x86-64-win32", "wixl", "msitools"],
                 "toolchain")
    os.makedirs(TOOLCHAIN)
    for name in os.listdir(os.path.join(tree.tree, "usr", "bin")):
        if re.match(r"(i686|x86_64)-w64-mingw32-|wixl|msi", name):
            path = os.path.join(TOOLCHAIN, name)
            with open(path, "w") as f:
                f.write(f"#!/bin/sh\nexec bwrap --dev-bind / / --ro-bind {shlex.quote(tree.tree)}/usr "
                        f"/usr --ro-bind {shlex.quote(tree.tree)}/etc /etc -- /usr/bin/{name} \"$@\"\n")
            os.chmod(path, 0o755)


class Platform:
    def __init__(self, release, arch):
        self.release, self.arch = release, arch
        self.name = f"{release.name}.{arch.name}"
        self._probe = None

    def wine(self, args):
        """The command that runs a Windows program, or one of Wine's own (wineboot, reg)."""
        return self.release.wrap([self.arch.loader] + list(args))

    def wineserver(self, args):
        # The server of the same release: the protocol differs between releases.
        return self.release.wrap([os.path.join(os.path.dirname(self.arch.loader), "wineserver")]
                                 + list(args))

    def env(self):
        # The loader is named, not found through /usr/bin/wine: that script picks
        # the 32-bit loader whenever wine32 is installed, even where it cannot run.
        return {"WINELOADER": self.arch.loader, "WINEARCH": self.arch.name}

    def probe(self):
        """(True, Wine's version) if this host runs the platform, else (False, why)."""
        if self._probe is None:
            self._probe = self._run_probe()
        return self._probe

    def _run_probe(self):
        release, arch = self.release, self.arch
        where = f" in {os.path.relpath(release.tree, ROOT)}" if release.tree else ""
        if release.tree and shutil.which("bwrap") is None:
            return False, "bwrap is not installed: scripts/ensure-deps.sh installs it"
        if release.tree and arch.package not in release.installed():
            host = by_name(f"host.{arch.name}").probe()
            if not host[0] and "Exec format error" in host[1]:
                return host  # the tree installs only what the host can run
            return False, (f"{arch.package} of Debian {release.suite} is not installed{where}: "
                           f"{sys.executable} {__file__} prepare (make test does it)")
        if not release.tree and not os.access(arch.loader, os.X_OK):
            return False, (f"{arch.loader} is not installed (scripts/ensure-deps.sh installs "
                           f"{arch.package} where this host executes {arch.bits} code)")
        try:
            result = subprocess.run(self.wine(["--version"]), capture_output=True, text=True,
                                    timeout=60)
        except OSError as error:  # ENOEXEC: "Exec format error"
            result = subprocess.CompletedProcess([], -1, "", f"{arch.loader}: {error.strerror}")
        if result.returncode != 0:
            detail = (result.stderr or result.stdout).strip()[-200:]
            if "Exec format error" in detail:
                return False, (f"{arch.loader}{where}: Exec format error: this host does not "
                               f"execute {arch.bits} x86 code")
            return False, f"{arch.loader}{where} --version exited with {result.returncode}: {detail}"
        return True, result.stdout.strip()


PLATFORMS = [Platform(release, arch) for release in RELEASES for arch in ARCHS]


def by_name(name):
    for platform in PLATFORMS:
        if platform.name == name:
            return platform
    sys.exit(f"no Windows platform named {name!r}; there are {[p.name for p in PLATFORMS]}")


def forced(variable, choices):
    names = os.environ.get(variable, "").replace(",", " ").split()
    unknown = [n for n in names if n not in [c.name for c in choices]]
    if unknown:
        sys.exit(f"{variable}: unknown {unknown}; choose from {[c.name for c in choices]}")
    return [c for c in choices if c.name in names]


def to_test():
    """The platforms the tests run on: every release with every architecture that
    the host's Wine runs, unless forced."""
    archs = forced(ARCH_FORCE, ARCHS) or [
        arch for arch in ARCHS if by_name(f"host.{arch.name}").probe()[0]]
    releases = forced(WINE_FORCE, RELEASES) or RELEASES
    return [p for p in PLATFORMS if p.release in releases and p.arch in archs]


def chosen():
    """The one platform for make run, the screenshots and the benchmark: the
    host's Wine, and the shipped image wherever it can run."""
    for platform in sorted(to_test(), key=lambda p: RELEASES.index(p.release)):
        if platform.probe()[0]:
            return platform
    sys.exit(report() + "\nNo Windows platform can run here.")


def report():
    lines = ["Windows platforms on this host:"]
    for platform in PLATFORMS:
        runs, detail = platform.probe()
        lines.append(f"  {platform.name} ({platform.arch.image}): "
                     f"{'runs, ' if runs else 'cannot run: '}{detail}")
    tested = to_test()
    forcing = [v for v in (ARCH_FORCE, WINE_FORCE) if os.environ.get(v)]
    lines.append("The Wine tests run on: " + (", ".join(p.name for p in tested) or "nothing")
                 + (f" (forced by {' and '.join(forcing)})" if forcing else ""))
    if "win32" not in [p.arch.name for p in tested]:
        lines.append("The shipped 32-bit image is checked statically only here (properties, imports, "
                     "manifest, load configuration, reproducibility, its package against the "
                     "twin's); its behaviour is tested through the 64-bit twin, built from the same "
                     "sources.")
    return "\n".join(lines)


def main():
    command = sys.argv[1] if len(sys.argv) > 1 else "check"
    if command == "list":
        print(";".join(f"{p.name}:{p.arch.preset}" for p in to_test()))
    elif command == "preset":
        platform = chosen()
        print(f"Windows platform: {platform.name}, {platform.arch.image}", file=sys.stderr)
        print(platform.arch.preset)
    elif command == "prepare":
        tested = to_test()
        for release in RELEASES:
            release.prepare([p.arch.package for p in tested if p.release is release], command)
    elif command == "toolchain":
        toolchain()
    elif command == "report":
        print(report())
    elif command == "check":
        print(report())
        tested = to_test()
        failing = [p.name for p in tested if not p.probe()[0]]
        if failing:
            print(f"FAIL: {', '.join(failing)} cannot run here (see above); "
                  f"{ARCH_FORCE} and {WINE_FORCE} choose what to test", file=sys.stderr)
            return 1
        if not tested:
            print("FAIL: no Windows platform runs here, so no Wine test can run. Install "
                  + ", or ".join(f"apt-get install {a.package}" for a in ARCHS), file=sys.stderr)
            return 1
    else:
        sys.exit(__doc__)
    return 0


if __name__ == "__main__":
    sys.exit(main())
