"""`make verify`: a downloaded kit against the kit that the checked-out sources build;
see docs/SIGNING.md. Each signed file must be the sources' with its own signature
attached by osslsigncode; each signature, read with asn1crypto, its values checked
by python3-cryptography and its chains by GnuTLS's certtool, must validate today."""
import datetime
import hashlib
import os
import pathlib
import re
import shlex
import stat
import subprocess
import tempfile

from asn1crypto import algos, cms, core, pem, tsp, x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

import kit_files

ROOT = pathlib.Path(__file__).resolve().parent.parent
SUMS = "SHA256SUMS"
SIGNABLE = (".exe", ".msi", ".ps1")
CODE_SIGNING, TIME_STAMPING = "1.3.6.1.5.5.7.3.3", "1.3.6.1.5.5.7.3.8"
INDIRECT_DATA, TST_INFO = "1.3.6.1.4.1.311.2.1.4", "1.2.840.113549.1.9.16.1.4"
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"  # szOID_RFC3161_counterSign
CONTENT_TYPE, MESSAGE_DIGEST = "1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4"
# Other unauthenticated attributes, by what they are.
UNAUTHENTICATED = {"1.3.6.1.4.1.311.2.4.1": "a nested second signature", "1.3.6.1.4.1.42921.1.2.1":
                   "an unauthenticated blob", "1.2.840.113549.1.9.6": "a countersignature (a legacy time stamp)"}
DIGESTS = {"sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}
# Policy mappings, policy constraints, inhibit anyPolicy; and Lifetime Signing, with
# which Windows ends a signature with its certificate, time stamp or not.
POLICY_CONSTRAINTS = ("2.5.29.33", "2.5.29.36", "2.5.29.54")
LIFETIME_SIGNING = "1.3.6.1.4.1.311.10.3.13"
# A signature and osslsigncode's layout add kilobytes: a file larger by more is
# refused unread. More certificates than a chain, or a file of trusted roots, holds
# are refused too: bounds on the time that judging takes.
MARGIN, CAFILE_LIMIT, CERTIFICATES_LIMIT, CARRIED_LIMIT = 1 << 20, 16 << 20, 1000, 20


class Fault(Exception):
    """What keeps a file, or an input, from being what it must be: one line."""


def shown(text):
    """Text from the kit as one printable line, whatever it was made of: a forged
    name must not add a line, move the cursor or say a verdict."""
    return "".join(c if c.isprintable() else c.encode("unicode_escape", "backslashreplace").decode()
                   for c in text)


def stamp(moment):
    return moment.strftime("%Y-%m-%d %H:%M:%S UTC")


def now():
    return datetime.datetime.now(datetime.timezone.utc)


def difference(ours, theirs):
    """None if the two contents are equal, else where `theirs` leaves `ours`."""
    if ours == theirs:
        return None
    at = next((i for i, (m, n) in enumerate(zip(ours, theirs)) if m != n), min(len(ours), len(theirs)))
    return f"differs from byte {at} on ({len(theirs)} bytes; these sources build {len(ours)})"


def regular(path, limit):
    """The bytes of a regular file of at most `limit` bytes, read without following a
    link or waiting on a pipe, whatever took its place since the kit was listed."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError as error:
        raise Fault(f"cannot be read: {error.strerror}") from None
    with os.fdopen(fd, "rb") as f:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise Fault("is not a regular file")
        data = f.read(limit + 1)
    if len(data) > limit:
        raise Fault(f"is {info.st_size} bytes, more than these sources' file and a signature")
    return data


def run(command, at=None):
    """A tool's result; at a moment other than now through faketime, since certtool
    judges validity only at the clock's time and has no option for another."""
    if at is not None:
        command = ["faketime", at.strftime("%Y-%m-%d %H:%M:%S"), *command]
    return subprocess.run(command, capture_output=True, text=True, errors="replace",
                          env=dict(os.environ, TZ="UTC", LC_ALL="C"))


def read_cafile(value):
    """CAFILE's certificates; Fault unless it is a regular file of nothing but
    well-formed PEM certificates."""
    what, roots = f"CAFILE={shown(value)}", []
    try:
        info = os.stat(value)
        if not stat.S_ISREG(info.st_mode):
            raise Fault(f"{what} is not a regular file (a pipe, a device or a folder): save the roots "
                        "in a PEM file and name that")
        if info.st_size > CAFILE_LIMIT:
            raise Fault(f"{what} holds {info.st_size} bytes, more than a file of roots does")
        data = pathlib.Path(value).read_bytes()
    except OSError as error:
        raise Fault(f"{what}: {error.strerror or error}; name a PEM file that can be read") from None
    try:
        for number, (kind, _, der) in enumerate(pem.unarmor(data, multiple=True), 1):
            if kind != "CERTIFICATE":
                raise Fault(f"{what}: block {number} is {shown(kind)}, not a CERTIFICATE")
            if number > CERTIFICATES_LIMIT:
                raise Fault(f"{what} holds more than {CERTIFICATES_LIMIT} certificates; give the roots you "
                            "trust for the kit's signers")
            x509.Certificate.load(der, strict=True).native  # every field read: a malformed one is refused
            roots.append(x509.Certificate.load(der, strict=True))
    except Fault:
        raise
    except Exception as error:  # noqa: BLE001 -- whatever a malformed block makes the parser raise
        raise Fault(f"{what}: block {len(roots) + 1} is not a well-formed PEM certificate ({type(error).__name__}: "
                    f"{shown((str(error).splitlines() or [''])[0])[:120]}); give a PEM file of certificates only") from None
    if not roots:
        raise Fault(f"{what}: no PEM certificate in it; name a PEM file of the roots that the kit's "
                    "signers and time-stamp authorities chain to")
    return roots


def inputs(kit, cafile, tree):
    """(the kit's folder, CAFILE's roots or None), or a Fault: why not, in one line."""
    if not kit:
        raise Fault("verify: name the kit's folder (make verify KIT=DIR)")
    folder = pathlib.Path(kit).absolute()
    try:
        if not folder.is_dir():
            raise Fault(f"KIT={shown(kit)}: " + ("not a folder: unpack the kit into a folder and name that"
                                                 if folder.exists() else "no such folder"))
        os.scandir(folder).close()
        inside = folder.resolve() == tree or tree in folder.resolve().parents
    except OSError as error:
        raise Fault(f"KIT={shown(kit)}: {error.strerror or error}; name a folder that can be read") from None
    if inside:
        raise Fault(f"KIT={shown(kit)} is inside {tree}, which make verify rebuilds: copy the kit to a "
                    "folder of its own and name that")
    return folder, read_cafile(cafile) if cafile else None


def other_version(kit, version):
    """The first line for a kit of another version than these sources build, with the
    commands that get its sources; else None."""
    package = kit / "install-ca-certs.msi"
    try:
        if not package.is_file() or package.is_symlink() or package.stat().st_size > (64 << 20):
            return None
        out = subprocess.run(["msiinfo", "export", str(package), "Property"], capture_output=True,
                             timeout=60).stdout.decode("utf-8", "replace")
    except (OSError, subprocess.TimeoutExpired):
        return None
    found = re.search(r"^ProductVersion\t([0-9.]{1,20})\r?$", out, re.M)
    if not found or found.group(1) == version:
        return None
    theirs = found.group(1)
    said = f"NOT VERIFIED: the kit in {shown(str(kit))} is install-ca-certs {theirs}, and these sources build {version}; "
    commit = subprocess.run(["git", "-C", str(ROOT), "log", "-1", "--format=%H", "--diff-filter=A", "--",
                             f"release/{theirs}/SHA256SUMS"], capture_output=True, text=True).stdout.strip()
    if not commit:
        return said + f"no release {theirs} is recorded in release/ of this checkout's history, so its sources are not here"
    place = shlex.quote(str(ROOT.parent / f"install-ca-certs-{theirs}"))
    return said + (f"check it with {theirs}'s sources: git -C {shlex.quote(str(ROOT))} worktree add "
                   f"{place} {commit} && make -C {place} verify KIT={shlex.quote(str(kit))}")


class SpcIndirectDataContent(core.Sequence):
    """What an Authenticode signature signs: the file's kind, and its digest."""
    _fields = [("data", core.Any), ("message_digest", algos.DigestInfo)]


class SignedData:
    """PKCS #7 signed data of exactly one signer, read strictly: `signed`, `signer`
    (its SignerInfo), `content` (Authenticode's, or a time stamp's TSTInfo) and
    `digested` (what the signer's digest covers), `certificate` (the signer's) and
    `chain` (that certificate, then its issuers among those carried, which are no others)."""

    def __init__(self, data, what, content_type):
        try:
            info = cms.ContentInfo.load(data, strict=True)
            if info["content_type"].native != "signed_data":
                raise Fault(f"{what} is not PKCS #7 signed data")
            self.signed = signed = info["content"]
            signers = list(signed["signer_infos"])
            carried = list(signed["certificates"]) if signed["certificates"].native is not None else []
            for signer in signers:  # each field read, so that a malformed one is refused here
                for field in ("sid", "digest_algorithm", "signature_algorithm", "signature", "unsigned_attrs"):
                    signer[field].native
                [a["type"].dotted for a in signer["signed_attrs"]]
            # Authenticode's content without its own header (PKCS #7's rule); a time stamp's TSTInfo.
            found = signed["encap_content_info"]["content"]
            if content_type == INDIRECT_DATA:
                self.content = found.parse(SpcIndirectDataContent)
                self.digested = self.content.contents
            else:
                self.digested = found.contents
                self.content = tsp.TSTInfo.load(self.digested, strict=True)
            self.content["message_digest" if content_type == INDIRECT_DATA else "message_imprint"].native
        except Fault:
            raise
        except Exception as error:  # noqa: BLE001 -- whatever malformed data makes the parser raise
            raise Fault(f"{what} cannot be read as PKCS #7 signed data ({type(error).__name__}: "
                        f"{shown((str(error).splitlines() or [''])[0])[:100]})") from None
        if signed["encap_content_info"]["content_type"].dotted != content_type:
            raise Fault(f"{what} signs content of another type, {signed['encap_content_info']['content_type'].dotted}")
        if signed["crls"].native is not None:
            raise Fault(f"{what} carries revocation lists, which the sources' signing does not add")
        if len(signers) != 1:
            raise Fault(f"{what} has {len(signers)} signers instead of one")
        self.signer = signer = signers[0]
        digest = signer["digest_algorithm"]["algorithm"].native
        try:
            named = signer["signature_algorithm"].hash_algo
        except ValueError:
            named = None  # rsaEncryption: the digest algorithm's
        if digest not in DIGESTS:
            raise Fault(f"{what} uses the digest {digest}; SHA-256, SHA-384 or SHA-512 are accepted")
        if named not in (None, digest):
            raise Fault(f"{what} names the digest {named} in its signature algorithm, {digest} as its digest")
        if len(carried) > CARRIED_LIMIT:
            raise Fault(f"{what} carries {len(carried)} certificates, more than any chain needs")
        if any(c.name != "certificate" for c in carried):
            raise Fault(f"{what} carries something other than certificates in its certificate set")
        certificates = list({c.chosen.dump(): c.chosen for c in carried}.values())
        sid = signer["sid"]
        self.certificate = next((c for c in certificates if (c.key_identifier == sid.native if sid.name ==
                                 "subject_key_identifier" else c.issuer.dump() == sid.chosen["issuer"].dump() and
                                 c.serial_number == sid.chosen["serial_number"].native)), None)
        if self.certificate is None:
            raise Fault(f"{what} does not carry its signer's certificate")
        self.chain = [self.certificate]
        while not self.chain[-1].self_issued:
            issuer = next((c for c in certificates if c.subject == self.chain[-1].issuer), None)
            if issuer is None or issuer in self.chain:
                break
            self.chain.append(issuer)
        extra = [c for c in certificates if c not in self.chain]
        if extra:
            raise Fault(f"{what} carries a certificate that is not on its signer's chain: {name(extra[0])}")
        unsigned = signer["unsigned_attrs"]
        self.unauthenticated = list(unsigned) if unsigned.native is not None else []

    def check_value(self, what):
        """Raises Fault unless the signer signed what this carries: the content's type
        and digest among its authenticated attributes, and those attributes (tagged as
        a SET, as the signer signs them) verified with its key by python3-cryptography."""
        signer, digest = self.signer, self.signer["digest_algorithm"]["algorithm"].native
        attributes = {}
        for attribute in signer["signed_attrs"]:
            if attribute["type"].dotted in attributes or len(attribute["values"]) != 1:
                raise Fault(f"the signer of {what} signed an attribute twice")
            attributes[attribute["type"].dotted] = attribute["values"][0]
        if self.signed["encap_content_info"]["content_type"].dotted != \
                getattr(attributes.get(CONTENT_TYPE), "dotted", None):
            raise Fault(f"the signer of {what} signed another type of content")
        if hashlib.new(digest, self.digested).digest() != getattr(attributes.get(MESSAGE_DIGEST), "native", None):
            raise Fault(f"the content of {what} is not what its signer signed")
        key, algorithm = key_of(self.certificate, what), signer["signature_algorithm"].signature_algo
        value, signed = signer["signature"].native, b"\x31" + signer["signed_attrs"].dump()[1:]
        try:
            if isinstance(key, rsa.RSAPublicKey) and algorithm == "rsassa_pkcs1v15":
                key.verify(value, signed, padding.PKCS1v15(), DIGESTS[digest]())
            elif isinstance(key, ec.EllipticCurvePublicKey) and algorithm == "ecdsa":
                key.verify(value, signed, ec.ECDSA(DIGESTS[digest]()))
            else:
                raise Fault(f"the signer of {what} uses {algorithm} with a key of another kind")
        except InvalidSignature:
            raise Fault(f"the value of {what} does not verify with its signer's key") from None


def name(certificate, field="subject"):
    return shown(getattr(certificate, field).human_friendly)


def key_of(certificate, what="it"):
    """The certificate's public key, read by python3-cryptography: one key, however the
    certificate encoded it."""
    try:
        return serialization.load_der_public_key(certificate.public_key.dump())
    except (ValueError, UnsupportedAlgorithm):
        raise Fault(f"the signer of {what} has a key that cannot be read") from None


def same_key(a, b):
    keys = [key_of(c).public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
            for c in (a, b)]
    return keys[0] == keys[1]


def for_signing(certificate, purpose, who):
    """Raises Fault unless the certificate is an end entity's for digital signatures
    and, if it names its extended uses, names `purpose` (anyExtendedKeyUsage is not
    enough); the chain's judge checks the rest."""
    usage, uses = certificate.key_usage_value, certificate.extended_key_usage_value
    if certificate.ca or (usage is not None and "digital_signature" not in usage.native):
        raise Fault(f"{who}, {name(certificate)}, is not an end entity's certificate for digital "
                    "signatures (a CA's, or its key usage lacks digitalSignature)")
    if uses is not None and purpose not in [u.dotted for u in uses]:
        raise Fault(f"{who}, {name(certificate)}, is not for {'code signing' if purpose == CODE_SIGNING else 'time stamping'}"
                    f": its extended key usage does not name {purpose}")


def valid_at(certificate, moment, who, when):
    dates = certificate["tbs_certificate"]["validity"]
    start, end = dates["not_before"].native, dates["not_after"].native
    if not start <= moment <= end:
        raise Fault(f"{who}, {name(certificate)}, is valid {stamp(start)} to {stamp(end)}: not {stamp(moment)}, {when}")
    return start, end


def chain_holds(signed, purpose, moments, what, roots, work):
    """What the signer's chain ends at, once GnuTLS's certtool verifies it for `purpose`
    under the medium profile at each of `moments` (None: now), against CAFILE's roots
    or the top of the chain that the signature carries; else Fault. certtool judges
    neither its trust anchor's extended key usage nor certificate policies: those
    are judged here, the policies by refusing their constraints."""
    chain, anchors = signed.chain, roots
    if anchors is None:
        if len(chain) == 1:
            raise Fault(f"it carries no issuer of the certificate of {what}, so without CAFILE nothing judges "
                        "that chain: give CAFILE=roots.pem with the root it chains to")
        chain, anchors = chain[:-1], chain[-1:]
    files = [pathlib.Path(tempfile.mkstemp(suffix=".pem", dir=work)[1]) for _ in range(2)]
    for file, certificates in zip(files, (chain, anchors)):
        file.write_bytes(b"".join(pem.armor("CERTIFICATE", c.dump()) for c in certificates))
    for moment in moments:
        result = run(["certtool", "--verify", "--infile", str(files[0]), "--load-ca-certificate", str(files[1]),
                      "--verify-purpose", purpose, "--verify-profile", "medium"], moment)
        verdict = re.findall(r"^Chain verification output: (.*?)\s*$", result.stdout + result.stderr, re.M)
        if result.returncode != 0 or not verdict or not verdict[-1].startswith("Verified."):
            why = verdict[-1] if verdict else (result.stderr.strip().splitlines() or ["certtool failed"])[-1]
            raise Fault(f"the chain of {what} does not hold at {stamp(moment or now())}, as GnuTLS judges it: "
                        f"{shown(why)}")
    top = chain[-1]
    anchor = next((a for a in anchors if a.dump() == top.dump()), None) or \
        next(a for a in anchors if a.subject == top.issuer)
    uses = anchor.extended_key_usage_value
    if uses is not None and purpose not in [u.dotted for u in uses]:
        raise Fault(f"the chain of {what} ends at {name(anchor)}, whose extended key usage does not name {purpose}")
    if any(e["extn_id"].dotted in POLICY_CONSTRAINTS for c in (*signed.chain, anchor)
           for e in c["tbs_certificate"]["extensions"]):
        raise Fault(f"the chain of {what} carries certificate-policy constraints, which this check does not judge")
    return (f"chain verified to {name(anchor)} of CAFILE" if roots else
            f"chain verified to {name(anchor)}, which it carries; who that is, is not proven")


def signed_content(ours, digest, work):
    """What a signature of these sources' file must sign, byte for byte: the
    Authenticode content (the file's kind, its digest, nothing else: no page hashes)
    that osslsigncode signs for it as make dist signs, here with a throwaway key."""
    pem_file, key_file, signed, blob = (pathlib.Path(work, n) for n in (
        "throwaway.pem", "throwaway.key", "signed" + ours.suffix, "signed.p7"))
    run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "1",
         "-subj", "/CN=throwaway", "-keyout", str(key_file), "-out", str(pem_file)])
    run(["osslsigncode", "sign", "-certs", str(pem_file), "-key", str(key_file), "-h", digest, "-in", str(ours),
         "-out", str(signed)])
    run(["osslsigncode", "extract-signature", "-in", str(signed), "-out", str(blob)])
    return SignedData(blob.read_bytes(), "a signature of these sources' file", INDIRECT_DATA).content.dump()


def judge(ours, theirs, roots):
    """For a signable file that differs from ours and is ours with one valid signature attached: (its lines
    for a person, the day its signer's certificate ends, whether it is time-stamped); None if unsigned."""
    with tempfile.TemporaryDirectory() as work:
        # osslsigncode knows a script by its name's suffix, so every file keeps it.
        blob, attached, stripped, again = (pathlib.Path(work, name + ours.suffix) for name in (
            "signature.p7", "attached", "stripped", "again"))
        run(["osslsigncode", "extract-signature", "-in", str(theirs), "-out", str(blob)])
        if not blob.is_file() or not blob.stat().st_size:
            return None
        # It writes the file even where it cannot build a chain: the bytes are judged.
        run(["osslsigncode", "attach-signature", "-sigin", str(blob), "-in", str(ours), "-out", str(attached)])
        if not attached.is_file():
            raise Fault("carries a signature that osslsigncode cannot attach to these sources' file")
        differs = difference(attached.read_bytes(), theirs.read_bytes())
        if differs:  # its content, its signature set aside, in osslsigncode's layout: these sources'?
            run(["osslsigncode", "remove-signature", "-in", str(theirs), "-out", str(stripped)])
            if stripped.is_file():
                run(["osslsigncode", "attach-signature", "-sigin", str(blob), "-in", str(stripped), "-out", str(again)])
            if not again.is_file() or attached.read_bytes() != again.read_bytes():
                raise Fault("its content, its signature set aside, is not what these sources build: "
                            "it was changed after it was built or signed")
            raise Fault("is not these sources' file with its signature attached as make dist attaches it, "
                        f"although its content is: it {differs.replace('these sources build', 'that is')}. "
                        "Another signing tool laid it out or signed it otherwise (signtool writes its own "
                        "package layout), or it holds bytes that no signature covers. Check the unsigned kit "
                        "with make verify before signing it, or sign it with make dist")
        return signature_lines(ours, blob.read_bytes(), roots, work)


def signature_lines(ours, blob, roots, work):
    """What judge returns, once the signature holds and validates today."""
    signed = SignedData(blob, "its signature", INDIRECT_DATA)
    algorithm = signed.content["message_digest"]["digest_algorithm"]["algorithm"].native
    if algorithm not in DIGESTS:
        raise Fault(f"its signature signs a {algorithm} digest of the file; SHA-256 or stronger is accepted")
    if signed.content.dump() != signed_content(ours, algorithm, work):
        raise Fault("its signature signs other content than a signature of this file does: another digest, "
                    "another kind of file, or page hashes, which the sources' signing does not add")
    signed.check_value("its signature")
    signer, timestamp = signed.certificate, None
    for_signing(signer, CODE_SIGNING, "the signer's certificate")
    for attribute in signed.unauthenticated:
        kind = attribute["type"].dotted
        if kind != RFC3161_TIMESTAMP:
            raise Fault(f"its signature carries {UNAUTHENTICATED.get(kind, 'the unauthenticated attribute ' + kind)}"
                        ", which the sources' signing does not add")
        if timestamp is not None or len(attribute["values"]) != 1:
            raise Fault("its signature carries more than one time stamp")
        timestamp = time_stamp(attribute["values"][0].dump(), signed, roots, work)
    lifetime = LIFETIME_SIGNING in [u.dotted for u in (signer.extended_key_usage_value or [])]
    moments = (None,) if lifetime or not timestamp else timestamp[0]
    for at in moments:
        start, end = valid_at(signer, at or now(), "the signer's certificate", "the time its signature was stamped"
                              if at else "today, and the signature carries no time stamp that Windows would take "
                              "for it" + (" (its certificate's Lifetime Signing usage ends it with the certificate)"
                                          if lifetime and timestamp else ""))
    lines = [f"signed by {name(signer)}, issued by {name(signer, 'issuer')}",
             f"certificate SHA-256 {signer.sha256.hex().upper()}, valid {stamp(start)} to {stamp(end)}",
             f"time-stamped {stamp(timestamp[0][0])} by {name(timestamp[1])} ({timestamp[2]}): Windows accepts it "
             f"after {stamp(end)}, when the signer's certificate expires" if timestamp and not lifetime else
             f"{'time-stamped, but its certificate names Lifetime Signing' if timestamp else 'no time stamp'}: on "
             f"Windows the signature stops validating on {stamp(end)}, when its certificate expires",
             chain_holds(signed, CODE_SIGNING, moments, "its signer", roots, work)]
    return lines, end, timestamp is not None and not lifetime


def time_stamp(token, signature, roots, work):
    """(time, the authority's certificate, what its chain ends at) of an RFC 3161
    time stamp of `signature`, once it holds. Raises Fault."""
    stamped = SignedData(token, "its time stamp", TST_INFO)
    if stamped.unauthenticated:
        raise Fault("its time stamp carries unauthenticated attributes, which a time stamp alone does not")
    found = re.fullmatch(rb"(\d{14})(?:\.(\d+))?Z", stamped.content["gen_time"].contents)
    if not found:
        raise Fault("its time stamp gives a time that is not UTC, which RFC 3161 requires")
    moment = datetime.datetime.strptime(found[1].decode(), "%Y%m%d%H%M%S").replace(tzinfo=datetime.timezone.utc)
    # A fraction of a second lies between two whole ones: each must do.
    moments = (moment, moment + datetime.timedelta(seconds=1)) if (found[2] or b"").strip(b"0") else (moment,)
    imprint, authority = stamped.content["message_imprint"], stamped.certificate
    algorithm = imprint["hash_algorithm"]["algorithm"].native
    if algorithm not in DIGESTS or hashlib.new(algorithm, signature.signer["signature"].native).digest() \
            != imprint["hashed_message"].native:
        raise Fault("its time stamp is not of its signature")
    if TIME_STAMPING not in [u.dotted for u in (authority.extended_key_usage_value or [])]:
        raise Fault(f"its time stamp is signed by {name(authority)}, whose certificate is not for time "
                    "stamping (no time-stamping extended key usage)")
    for_signing(authority, TIME_STAMPING, "the time-stamp authority's certificate")
    stamped.check_value("its time stamp")
    if same_key(authority, signature.certificate):
        raise Fault("its time stamp is signed with the signer's own key, which cannot vouch for its own time")
    if moments[-1] > now() or moment.year < 1970:
        raise Fault(f"its time stamp is dated {stamp(moment)}, " + ("later than now" if moment.year >= 1970 else
                                                                   "before 1970, when no such certificate existed"))
    for at in moments:
        valid_at(authority, at, "the time-stamp authority's certificate", "the time it gives")
    return moments, authority, chain_holds(stamped, TIME_STAMPING, moments, "its time-stamp authority", roots, work)


def read_kit(kit, folders):
    """({name: path} of the kit's regular files; {name: what else it holds}). Only the
    `folders` these sources build are entered: a kit of any depth is read at once."""
    files, odd, pending = {}, {}, [("", kit)]
    while pending:
        prefix, folder = pending.pop()
        try:
            entries = sorted(os.scandir(folder), key=lambda e: e.name)
        except OSError as error:
            odd[prefix.rstrip("/")] = f"{shown(prefix) or 'the kit'} cannot be read: {error.strerror}"
            continue
        for entry in entries:
            path = prefix + entry.name
            if entry.is_symlink():
                odd[path] = f"{shown(path)} is a symbolic link, not a file of the kit"
            elif entry.is_dir(follow_symlinks=False):
                if path in folders:
                    pending.append((path + "/", entry.path))
                else:
                    odd[path] = f"{shown(path)}/ is a folder these sources do not build"
            elif entry.is_file(follow_symlinks=False):
                files[path] = pathlib.Path(entry.path)
            else:
                odd[path] = f"{shown(path)} is not a regular file"
    return files, odd


def check_sums(text, files, copies):
    """What is wrong with SHA256SUMS's `text`, which lists each file of the kit once as
    sha256sum writes it, lines ended by LF alone; `copies`: the contents read."""
    faults = ["has CR characters, which sha256sum does not write"] if "\r" in text else []
    if text and not text.endswith("\n"):
        faults.append("does not end with a line end")
    listed = {}
    for number, line in enumerate(text[:-1].split("\n") if text else [], 1):
        found = re.fullmatch(r"([0-9a-f]{64})  ([^\r]+)", line)
        name = found and found.group(2)
        if not found:
            faults.append(f"line {number} is not \"<SHA-256 in lowercase hex>  <file>\": {shown(line[:90])!r}")
        elif name in listed:
            faults.append(f"line {number} lists {shown(name)} again (first on line {listed[name]})")
        elif name not in files or name == SUMS:
            faults.append(f"line {number} names {shown(name)}, which is not a file of the kit")
        else:
            listed[name] = number
            if name in copies and hashlib.sha256(copies[name]).hexdigest() != found.group(1):
                faults.append(f"line {number} gives another SHA-256 for {shown(name)}")
    if len(faults) > 4:
        faults[4:] = [f"has {len(faults) - 4} more such lines"]
    unlisted = sorted(set(files) - set(listed) - {SUMS})
    return faults + ([f"does not list {', '.join(map(shown, unlisted))}"] if unlisted else [])


def main(kit, cafile, version, tree, build):
    """make verify: True if VERIFIED. `build(folder)` builds these sources' kit in `tree`."""
    try:
        folder, roots = inputs(kit, cafile, tree)
    except Fault as fault:
        print(fault)
        return False
    other = other_version(folder, version)
    if other:
        print(other)
        return False
    with tempfile.TemporaryDirectory() as temp:
        build(pathlib.Path(temp, "kit"))
        return verify(folder, pathlib.Path(temp, "kit"), version, roots, cafile)


def verify(kit, built, version, roots, cafile=None):
    """Prints one line per file and a verdict; True if the kit is what the sources built into `built`.
    Each file is judged from a private copy, read at once: the kit may change meanwhile."""
    ours = kit_files.files(built)
    theirs, odd = read_kit(kit, {name.rsplit("/", 1)[0] for name in ours if "/" in name})
    failures, signed, copies = list(odd.values()), [], {}
    print(f"\nThe kit in {shown(str(kit))}, against what these sources build:")
    with tempfile.TemporaryDirectory() as copy:
        for name in sorted(ours.keys() | (theirs.keys() - {SUMS})):
            if name in odd or any(name.startswith(f + "/") for f in odd):
                continue  # said already
            if name not in theirs or name not in ours:
                failures.append(f"{name} is missing from the kit" if name not in theirs else
                                f"{shown(name)} is not something these sources build")
                continue
            try:
                copies[name] = regular(theirs[name], ours[name].stat().st_size + MARGIN)
                mine = pathlib.Path(copy, name.replace("/", "_"))
                mine.write_bytes(copies[name])
                differs = difference(ours[name].read_bytes(), copies[name])
                found = judge(ours[name], mine, roots) if differs and name.endswith(SIGNABLE) else None
            except Exception as error:  # noqa: BLE001 -- a forged or unreadable file must not end the check
                said = str(error) if isinstance(error, Fault) else \
                    f"cannot be read as what these sources build ({type(error).__name__}: {shown(str(error))})"
                print(f"  {name}: NOT VERIFIED: {said}")
                failures.append(f"{name}: {said}")
                continue
            if found is None:
                print(f"  {name}: {differs or 'identical'}")
                if differs or (roots and name.endswith(SIGNABLE)):
                    failures.append(f"{name} {differs}" if differs else
                                    f"{name} is not signed, and with CAFILE every signable file must be")
                continue
            signed.append(name)
            print(f"  {name}: these sources' file with its one signature attached\n      " + "\n      ".join(found[0]))
    try:
        if SUMS not in theirs:
            raise Fault("is missing")
        faults = check_sums(regular(theirs[SUMS], 1 << 20).decode("utf-8"), theirs, copies)
    except UnicodeDecodeError:
        faults = ["is not text in UTF-8"]
    except Fault as fault:
        faults = [str(fault).replace("these sources' file and a signature", "a list of the kit's files")]
    print(f"  {SUMS}: " + ("; ".join(faults) if faults else "lists each file once, with its SHA-256"))
    failures += [f"{SUMS} {fault}" for fault in faults]
    if failures:
        print(f"\nNOT VERIFIED: the kit in {shown(str(kit))} is not what these sources build:\n  " +
              "\n  ".join(failures))
        return False
    print(f"\nVERIFIED: the kit in {shown(str(kit))} is exactly what these sources build: install-ca-certs "
          f"{version}, ProductCode {(built / 'ProductCode.txt').read_text().strip()}, {len(theirs)} files" + (
              ", unsigned." if not signed else f", {len(signed)} of them signed, each signature valid today and "
              f"chaining to a certificate of {shown(str(cafile))}." if roots else f", {len(signed)} of them "
              "signed, each signature valid today. WHO SIGNED IS NOT PROVEN: without CAFILE no chain is checked "
              "against a root you trust, so a signer named like a well-known authority may be anyone; "
              "CAFILE=roots.pem proves it."))
    return True
