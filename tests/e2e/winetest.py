"""Running Windows programs of the project under Wine, for the end-to-end tests.

Each test gets a throwaway prefix made from one prepared template, so that
Wine's first-run set-up happens once. Nothing here touches the developer's own
prefix. The platform (a Wine release, with 32-bit Wine and the shipped image or
64-bit Wine and the image's twin) is E2E_PLATFORM when the tests name it, else
wineplatform's choice.
"""
import base64
import contextlib
import filecmp
import glob
import hashlib
import os
import re
import shutil
import subprocess
import tempfile

import wineplatform

PLATFORM = (wineplatform.by_name(os.environ["E2E_PLATFORM"]) if os.environ.get("E2E_PLATFORM")
            else wineplatform.chosen())
BUILD = os.environ.get("E2E_BUILD_DIR", PLATFORM.arch.build)
WINE_ROOT = os.path.join(BUILD, "wine", PLATFORM.release.name)
TEMPLATE = os.path.join(WINE_ROOT, "template")
IMAGE = os.path.join(BUILD, "install-ca-certs.exe")
SOURCE = os.path.join(os.path.dirname(__file__), "..", "..", "src", "installer",
                      "embedded_certificates.cpp")
HELPER = os.path.join(BUILD, "tests", "e2e", "wine_helper.exe")

# The local computer's system stores, under HKLM.
STORES_KEY = r"Software\Microsoft\SystemCertificates"

# The calls that the relay trace records, with their arguments.
RELAY_INCLUDE = ";".join([
    "user32.MessageBoxW",
    "crypt32.CryptQueryObject", "crypt32.CertOpenStore", "crypt32.CertAddCertificateContextToStore",
    "crypt32.CertCloseStore", "crypt32.CertFreeCertificateContext",
])


def wine_env(prefix, relay=False, display=None, channels=""):
    """`channels`: more of Wine's debug channels for standard error, e.g. "trace+msi"."""
    env = dict(os.environ)
    debug = ",".join(c for c in ("-all", "+relay" if relay else "", channels) if c)
    env.update(WINEPREFIX=os.path.abspath(prefix), WINEDLLOVERRIDES="mscoree,mshtml=",
               WINEDEBUG=debug, **PLATFORM.env())
    env.pop("DISPLAY", None)
    if display:
        env["DISPLAY"] = display
    return env


def wine(args):
    """The command line that runs a Windows program, or a Wine tool, on this platform."""
    return PLATFORM.wine(args)


def wait_server(prefix):
    """Ends the prefix's Wine server and waits until it has saved the registry:
    ended, not left to end, since a server lingers two seconds after
    its last program."""
    for option in ("-k", "-w"):
        subprocess.run(PLATFORM.wineserver([option]), env=wine_env(prefix), check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# What Wine only reads once the template is made: wineboot writes these, in place,
# and again only when it updates a prefix to a new Wine, which the template's
# .update-timestamp "disable" turns off (a new Wine gets a new template). So they
# are hard links: every prefix's to the template's, the template's to identical
# files of the project's own (the Debian tree's Wine, the other architecture's
# template), never to the system's Wine, which a write through a link (a forced
# update, a program copying over a module) would change. The rest is each
# prefix's own copy: wineserver saves a registry file by renaming a new one over
# it, but other writers (an .ini file's, for one) rewrite a file in place, which
# through a link would change the template for every later case.
SHARED = re.compile(r"\.(dll|exe|drv|sys|acm|ocx|cpl|tlb|nls|vxd|ax|ds|ttf|ttc|fon|manifest)$", re.I)


def copy_linking(source, target, find=None):
    """Copies the tree `source` to `target`, hard-linking each shared file to itself,
    or to the first identical file that `find` names, where it may."""
    def copy(source, target):
        candidates = (find(source) if find else [source]) if SHARED.search(source) else []
        for candidate in candidates:
            if candidate == source or filecmp.cmp(source, candidate, shallow=False):
                try:
                    os.link(candidate, target)
                    return
                except OSError:
                    break
        shutil.copy2(source, target)
    shutil.copytree(source, target, symlinks=True, copy_function=copy)


def prepare_template():
    """Creates the template prefix once, and again for another Wine; later calls
    find it ready."""
    ready = os.path.join(TEMPLATE, ".ready")
    runs, wine_version = PLATFORM.probe()
    if not runs:
        raise RuntimeError(f"{PLATFORM.name} cannot run on this host: {wine_version}")
    if os.path.exists(ready):
        with open(ready) as f:
            if f.read() == wine_version:
                return
    shutil.rmtree(TEMPLATE, ignore_errors=True)
    os.makedirs(WINE_ROOT, exist_ok=True)
    # wineboot writes up to 1.4 GB of copies of Wine's modules: in memory, so that
    # what is already on the disk in the project does not go there again.
    stage = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else WINE_ROOT)
    try:
        env = wine_env(stage)
        subprocess.run(wine(["wineboot", "--init"]), env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        reg(env, "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/t", "REG_SZ",
            "/d", RELAY_INCLUDE)
        # The local computer's certificate stores as Windows always has them; a fresh
        # prefix has neither key, and some releases then refuse to open "CA".
        for store in ("ROOT", "CA"):
            reg(env, "add", rf"HKLM\{STORES_KEY}\{store}")
        wait_server(stage)
        with open(os.path.join(stage, ".update-timestamp"), "w") as f:
            f.write("disable\n")
        roots = glob.glob(os.path.join(PLATFORM.release.tree, "usr", "lib", "*", "wine",
                                       "*-windows")) if PLATFORM.release.tree else []
        roots += [template for template in (
            os.path.join(arch.build, "wine", PLATFORM.release.name, "template")
            for arch in wineplatform.ARCHS if arch is not PLATFORM.arch)
            if os.path.exists(os.path.join(template, ".ready"))]
        files = {}
        for root in roots:
            for folder, _, names in os.walk(root):
                for name in names:
                    files.setdefault(name.lower(), []).append(os.path.join(folder, name))
        copy_linking(stage, TEMPLATE, lambda source: files.get(os.path.basename(source).lower(), []))
    finally:
        shutil.rmtree(stage, ignore_errors=True)
    with open(ready, "w") as f:
        f.write(wine_version)


def reg(env, *args):
    """Wine's reg.exe: "add KEY ...", "delete KEY", always with /f."""
    subprocess.run(wine(["reg", *args, "/f"]), env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def new_prefix(name):
    """A fresh prefix at `name` under the build's wine folder: the template's shared
    files linked, the rest copied (some 20 MB)."""
    prepare_template()
    prefix = os.path.join(WINE_ROOT, name)
    shutil.rmtree(prefix, ignore_errors=True)
    copy_linking(TEMPLATE, prefix)
    return prefix


def prefix_for(test):
    """A fresh prefix for one test case, removed when the case ends. With
    E2E_KEEP_PREFIXES=1 it stays, to be looked into."""
    prefix = new_prefix(os.path.join("tests", test.id().split(".", 1)[1]))
    if not os.environ.get("E2E_KEEP_PREFIXES"):
        test.addCleanup(discard_prefix, prefix)
    return prefix


def discard_prefix(prefix):
    """Ends whatever still runs in the prefix (a case that failed half-way), then removes it."""
    end_session(prefix)
    shutil.rmtree(prefix, ignore_errors=True)


def xvfb():
    """A private Xvfb display: (its server, its name)."""
    read_fd, write_fd = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
        pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    with os.fdopen(read_fd) as pipe:
        return server, ":" + pipe.readline().strip()


@contextlib.contextmanager
def display():
    """A private Xvfb display for the boxes of one test: its name."""
    server, name = xvfb()
    try:
        yield name
    finally:
        server.terminate()
        server.wait(timeout=10)


class Session:
    """A prefix's Wine session, kept from its first program to the first reading of
    its registry file: Wine starts a session in about a second, and ends it only
    when told to, to save the registry. Beside its programs runs a helper that holds
    Wine's lock of its root-store sync: Wine 10's CRYPT32, in each process's first
    opening of the local computer's ROOT store, deletes from it every certificate
    that the host does not trust (it takes them for host roots since removed), which
    Windows does not; while the lock is held no process of the session runs it. With
    boxes to show, the session has a private Xvfb display of its own: Wine's desktop
    process stays on the display that its session started with."""

    def __init__(self, prefix, display):
        self.xvfb, self.display = xvfb() if display is True else (None, display)
        self.holder = subprocess.Popen(wine([HELPER, "hold"]), env=wine_env(prefix, display=self.display),
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL)
        said = self.holder.stdout.readline()
        if said.strip() != b"held":
            raise RuntimeError(f"wine_helper hold: {said!r}")

    def close(self):
        self.holder.stdin.close()
        self.holder.wait(timeout=60)
        self.holder.stdout.close()


_sessions = {}


def session(prefix, display=None):
    """The prefix's running session, started if there is none, or none with the
    display asked for: True for a private one of its own, or a display's name.
    Returns its display's name, or None."""
    prefix = os.path.abspath(prefix)
    found = _sessions.get(prefix)
    if found is None or (display and found.display is None) or \
            (isinstance(display, str) and found.display != display):
        end_session(prefix)
        found = _sessions[prefix] = Session(prefix, display)
    return found.display


def end_session(prefix):
    """Ends the prefix's Wine session, if one runs, and waits until its server has
    saved the registry."""
    found = _sessions.pop(os.path.abspath(prefix), None)
    if found is not None:
        found.close()
    wait_server(prefix)
    if found is not None and found.xvfb is not None:
        found.xvfb.terminate()
        found.xvfb.wait(timeout=10)


def start(prefix, args, relay=False, display=None, channels=""):
    """Starts a Windows program in the prefix's session (see `session` for
    `display`); its standard error (the relay trace) goes to a file."""
    shown = session(prefix, display)
    trace = tempfile.NamedTemporaryFile(prefix="relay-", suffix=".txt", dir=WINE_ROOT, delete=False)
    process = subprocess.Popen(wine(args), env=wine_env(prefix, relay, shown, channels),
                               stdout=subprocess.PIPE, stderr=trace)
    process.trace_path = trace.name
    trace.close()
    return process


def finish(prefix, process, timeout=120, keep_trace=False):
    """Waits for the program; returns (exit status, stdout, relay calls), and with
    `keep_trace` the whole of standard error as a fourth item. The session goes on."""
    out, _ = process.communicate(timeout=timeout)
    with open(process.trace_path, "rb") as f:
        trace = f.read().decode("utf-8", "replace")
    os.unlink(process.trace_path)
    result = (process.returncode, out.decode("utf-8", "replace"), relay_calls(trace))
    return result + (trace,) if keep_trace else result


def run(prefix, args, relay=False, display=None, timeout=120, channels="", keep_trace=False):
    return finish(prefix, start(prefix, args, relay, display, channels), timeout, keep_trace)


def windows_path(path):
    """The Windows name of a host file, through Wine's Z: drive."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


_CALL = re.compile(r"^[0-9a-f]+:Call (\w+)\.(\w+)\((.*)\) ret=[0-9a-f]+$")
_STRING = re.compile(r'L"((?:[^"\\]|\\.)*)"(\.\.\.)?')
_ESCAPE = re.compile(r"\\([0-9a-fA-F]{4}|.)")
# One argument of a call: quoted strings may hold commas.
_ARGUMENT = re.compile(r'(?:"(?:[^"\\]|\\.)*"|[^,])+')


def _unescape(text):
    """Wine's debug strings: \\XXXX (hex) for non-ASCII, \\n, \\r, \\t, \\\\ and \\"."""
    return _ESCAPE.sub(lambda m: chr(int(m.group(1), 16)) if len(m.group(1)) == 4 else
                       {"n": "\n", "r": "\r", "t": "\t"}.get(m.group(1), m.group(1)), text)


class Call:
    def __init__(self, module, function, args):
        self.module, self.function, self.raw = module, function, args
        self.strings = [_unescape(m.group(1)) for m in _STRING.finditer(args)]
        # Numbers in argument order, strings dropped, as wide as the trace prints them.
        self.args = [int(a.split(" ")[0], 16) for a in _ARGUMENT.findall(args)]

    def dword(self, index):
        """A 32-bit argument (DWORD, UINT, BOOL). On x86-64 the trace prints the whole
        64-bit register or stack slot, whose upper half is undefined for these."""
        return self.args[index] & 0xFFFFFFFF

    def __repr__(self):
        return f"{self.function}({self.raw[:80]})"


def relay_calls(trace):
    return [Call(*match.groups()) for match in map(_CALL.match, trace.splitlines()) if match]


def store_certificates(prefix):
    """{store: {thumbprint: DER}} of the local computer's ROOT and CA stores."""
    text = hive_text(prefix, STORES_KEY)
    stores = {"Root": {}, "CA": {}}
    pattern = re.compile(
        r'^\[' + re.escape(STORES_KEY.replace("\\", "\\\\")) +
        r'\\\\(\w+)\\\\Certificates\\\\([0-9A-Fa-f]{40})\][^\n]*\n'
        r'(.*?)(?=^\[|\Z)', re.M | re.S)
    for store, thumbprint, body in pattern.findall(text):
        blob = re.search(r'^"Blob"=hex:(.*?)(?:\n(?!\s)|\Z)', body, re.M | re.S)
        der = _certificate_from_blob(bytes.fromhex(re.sub(r"[^0-9a-fA-F]", "",
                                                          blob.group(1)))) if blob else None
        # Names ignore case: Wine writes "Root", Windows and our template "ROOT".
        store = {"root": "Root", "ca": "CA"}.get(store.lower(), store)
        stores.setdefault(store, {})[thumbprint.upper()] = der
    return stores


def hive_text(prefix, key=""):
    """The local computer's registry under HKLM\\`key`, in the form of the prefix's
    system.reg. While the prefix's session runs, reg export reads it from the server,
    in a tenth of the time that ending the session takes; otherwise the file, saved
    by the server that a Wine tool may have left."""
    if os.path.abspath(prefix) not in _sessions:
        end_session(prefix)
        with open(os.path.join(prefix, "system.reg"), encoding="utf-8", errors="replace") as f:
            return f.read()
    out = os.path.join(prefix, "drive_c", "export.reg")
    if subprocess.run(wine(["reg", "export", "HKLM\\" + key, r"C:\export.reg", "/y"]), env=wine_env(prefix),
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
        return ""  # no such key
    with open(out, "rb") as f:
        text = f.read().decode("utf-16").replace("\r\n", "\n")
    # [HKEY_LOCAL_MACHINE\Software\...] as system.reg writes it: [Software\\...]
    return re.sub(r"^\[HKEY_LOCAL_MACHINE\\(.*)\]$", lambda m: "[" + m.group(1).replace("\\", "\\\\") + "]",
                  text, flags=re.M)


def registry_key(prefix, key):
    """{value name: text} of a key of the local computer's registry, or None if it is
    absent. Only string values are decoded (Wine's file writes non-ASCII as \\xHHHH)."""
    text = hive_text(prefix, key)
    header = "[" + key.replace("\\", "\\\\") + "]"
    start = text.lower().find("\n" + header.lower())  # registry names ignore case
    if start < 0:
        return None
    body = text[start + 1:].split("\n[", 1)[0]
    values = {}
    for name, value in re.findall(r'^"((?:[^"\\]|\\.)*)"="((?:[^"\\]|\\.)*)"$', body, re.M):
        values[name] = re.sub(r"\\x([0-9a-fA-F]{1,4})", lambda m: chr(int(m.group(1), 16)),
                              value).replace("\\\\", "\\")
    return values


def registry_has_key(prefix, key):
    """Whether the key exists. Wine's registry file leaves out a key that has subkeys
    but no values, so a subkey's section counts too."""
    text = hive_text(prefix, key).lower()
    header = "\n[" + key.replace("\\", "\\\\").lower()
    return header + "]" in text or header + "\\\\" in text


def _certificate_from_blob(blob):
    """The DER certificate element (property 32) of a serialized store entry."""
    offset = 0
    while offset + 12 <= len(blob):
        prop = int.from_bytes(blob[offset:offset + 4], "little")
        length = int.from_bytes(blob[offset + 8:offset + 12], "little")
        if prop == 32:
            return blob[offset + 12:offset + 12 + length]
        offset += 12 + length
    return None


def embedded_texts(source):
    """[(store, base64 text)] from the generated certificate source, in row order."""
    return [("Root" if store == "RootStore" else "CA", text) for text, store in
            re.findall(r'"([A-Za-z0-9+/=]{100,})", (RootStore|CaStore)', open(source).read())]


def embedded_rows(source):
    """[(row, store, DER)]: what the image carries."""
    return [(row, store, base64.b64decode(text))
            for row, (store, text) in enumerate(embedded_texts(source), 1)]


ROWS = embedded_rows(SOURCE)


def thumbprint(der):
    return hashlib.sha1(der).hexdigest().upper()


class StoresAssertions:
    """For test cases: what the local computer's stores hold."""

    def assertRowsInstalled(self, prefix, rows):
        """Exactly these rows are installed, each the exact certificate in its own
        store and in no other."""
        stores = store_certificates(prefix)
        for row, store, der in ROWS:
            for name, found in stores.items():
                self.assertEqual(found.get(thumbprint(der)), der if row in rows and name == store
                                 else None, f"row {row} in {name}: only rows {list(rows)}, exactly")
