"""A kit file's Authenticode signature read strictly, for `make verify`: exactly one
signer, whose signature value, certificates and digest all hold by themselves
(no trust anchor needed), and no unauthenticated attribute but an RFC 3161 time
stamp, which is checked the same way. The chain to a trust anchor is a separate
check, against the roots one names."""
import collections
import datetime
import pathlib
import re
import subprocess
import tempfile

from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

SIGNED_DATA = "1.2.840.113549.1.7.2"
INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"  # SPC_INDIRECT_DATA_OBJID
TST_INFO = "1.2.840.113549.1.9.16.1.4"
CONTENT_TYPE, MESSAGE_DIGEST = "1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4"
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"  # szOID_RFC3161_counterSign
# Other unauthenticated attributes, by what they are.
UNAUTHENTICATED = {"1.3.6.1.4.1.311.2.4.1": "a nested second signature",
                   "1.2.840.113549.1.9.6": "a countersignature (a legacy time stamp)",
                   "1.3.6.1.4.1.42921.1.2.1": "an unauthenticated blob"}
DIGESTS = {"2.16.840.1.101.3.4.2.1": hashes.SHA256, "2.16.840.1.101.3.4.2.2": hashes.SHA384,
           "2.16.840.1.101.3.4.2.3": hashes.SHA512}
CODE_SIGNING, TIME_STAMPING = "1.3.6.1.5.5.7.3.3", "1.3.6.1.5.5.7.3.8"
# The signature algorithms a signer may name, by its key: RSA (PKCS #1 v1.5, with
# NULL parameters) and ECDSA (none).
RSA = ("1.2.840.113549.1.1.1", "1.2.840.113549.1.1.11", "1.2.840.113549.1.1.12", "1.2.840.113549.1.1.13")
ECDSA = ("1.2.840.10045.4.3.2", "1.2.840.10045.4.3.3", "1.2.840.10045.4.3.4")
NULL = b"\x05\x00"
SEQUENCE, SET, OCTET_STRING, OID, INTEGER, GENERALIZED_TIME = 0x30, 0x31, 0x04, 0x06, 0x02, 0x18
TAGGED0, TAGGED1 = 0xA0, 0xA1


class Fault(Exception):
    """What keeps a signed file from being the sources' file plus one valid signature."""


# --- DER ---------------------------------------------------------------------------------

Element = collections.namedtuple("Element", "tag content encoded end")


def element_at(data, at):
    """The DER element of `data` that starts at `at`."""
    if len(data) < at + 2:
        raise Fault("its signature is cut short")
    tag, length, body = data[at], data[at + 1], at + 2
    if length & 0x80:
        count = length & 0x7F
        if not 1 <= count <= 4 or len(data) < body + count or data[body] == 0:
            raise Fault("its signature has a malformed length")
        length, body = int.from_bytes(data[body:body + count], "big"), body + count
        if length < 0x80:  # DER: the short form wherever it fits
            raise Fault("its signature has a length that is not DER")
    if tag & 0x1F == 0x1F or body + length > len(data):
        raise Fault("its signature is malformed or cut short")
    return Element(tag, bytes(data[body:body + length]), bytes(data[at:body + length]), body + length)


def der(data, tag):
    """The one element of type `tag` that `data` is, with nothing after it."""
    element = element_at(data, 0)
    if element.end != len(data):
        raise Fault(f"its signature is followed by {len(data) - element.end} bytes of no signature")
    return expect(element, tag)


def expect(element, tag):
    if element.tag != tag:
        raise Fault(f"its signature has tag 0x{element.tag:02X} where PKCS #7 has 0x{tag:02X}")
    return element


def children(element, *tags):
    """The elements inside `element`; with `tags`, exactly these, in this order."""
    out, at = [], 0
    while at < len(element.content):
        out.append(element_at(element.content, at))
        at = out[-1].end
    if tags and [c.tag for c in out] != list(tags):
        raise Fault("its signature is not shaped as PKCS #7 has it")
    return out


def oid(element):
    body = expect(element, OID).content
    if not body:
        raise Fault("its signature has an empty object identifier")
    first = min(body[0] // 40, 2)
    parts, value = [first, body[0] - 40 * first], 0
    for byte in body[1:]:
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            parts.append(value)
            value = 0
    return ".".join(map(str, parts))


def algorithm(element, allowed=None, parameters=(None, NULL)):
    """The object identifier of an AlgorithmIdentifier whose parameters are one of
    `parameters` (None: absent), from `allowed` if given: nothing else may ride in it."""
    found = children(expect(element, SEQUENCE))
    if not 1 <= len(found) <= 2 or (found[1].encoded if len(found) == 2 else None) not in parameters:
        raise Fault("its signature has algorithm parameters that no algorithm it uses takes")
    name = oid(found[0])
    if allowed is not None and name not in allowed:
        raise Fault(f"its signature uses the algorithm {name}, which does not go with its key")
    return name


def digest_of(element, data):
    name = algorithm(element)
    if name not in DIGESTS:
        raise Fault(f"its signature uses the digest {name}; SHA-256, SHA-384 or SHA-512 are accepted")
    hasher = hashes.Hash(DIGESTS[name]())
    hasher.update(data)
    return hasher.finalize(), DIGESTS[name]


# --- certificates --------------------------------------------------------------------------

def utc(certificate, field):
    """not_valid_before or not_valid_after, in UTC, on any release of cryptography."""
    moment = getattr(certificate, f"{field}_utc", None) or getattr(certificate, field)
    return moment if moment.tzinfo else moment.replace(tzinfo=datetime.timezone.utc)


def shown(text):
    """Text from the kit as one printable line, whatever it was made of: a forged
    name must not add a line, move the cursor or say a verdict."""
    return "".join(c if c.isprintable() else c.encode("unicode_escape", "backslashreplace").decode()
                   for c in text)


def name(certificate, field="subject"):
    return shown(getattr(certificate, field).rfc4514_string())


def check_value(key, signature, data, digest):
    """Raises InvalidSignature unless `signature` is `key`'s over `data`."""
    if isinstance(key, rsa.RSAPublicKey):
        key.verify(signature, data, padding.PKCS1v15(), digest)
    elif isinstance(key, ec.EllipticCurvePublicKey):
        key.verify(signature, data, ec.ECDSA(digest))
    else:
        raise Fault(f"its signature uses a key of a kind this check does not know ({type(key).__name__})")


def issued_by(certificate, issuer):
    """Whether `issuer`'s key made `certificate`'s own signature."""
    if certificate.issuer != issuer.subject:
        return False
    try:
        check_value(issuer.public_key(), certificate.signature, certificate.tbs_certificate_bytes,
                    certificate.signature_hash_algorithm)
        return True
    except (InvalidSignature, UnsupportedAlgorithm, ValueError):
        return False


# --- PKCS #7 ---------------------------------------------------------------------------------

class SignedData:
    """PKCS #7 signed data with exactly one signer, checked by itself: `content_type`,
    `content` (the bytes its message digest covers: Authenticode's indirect data
    without its own header, a time stamp's TSTInfo), `chain` (the signer's
    certificate, then its issuers among those carried), `value` (the signature
    value) and `unauthenticated` ({type: [values]})."""

    def __init__(self, data, what, usage):
        kind, body = children(der(data, SEQUENCE), OID, TAGGED0)
        if oid(kind) != SIGNED_DATA:
            raise Fault(f"{what} is not PKCS #7 signed data")
        parts = children(der(body.content, SEQUENCE))
        if [p.tag for p in parts] not in ([INTEGER, SET, SEQUENCE, SET],
                                          [INTEGER, SET, SEQUENCE, TAGGED0, SET]):
            raise Fault(f"{what} carries something besides its content, certificates and signer "
                        "(revocation lists, say), or is malformed")
        kind, content = children(parts[2], OID, TAGGED0)
        self.content_type = oid(kind)
        # PKCS #7 signed data is version 1; a time stamp's, of other content than data, 3.
        inner, version = {INDIRECT_DATA: (SEQUENCE, b"\x01"), TST_INFO: (OCTET_STRING, b"\x03")}.get(
            self.content_type, (None, None))
        if inner is None:
            raise Fault(f"{what} signs content of the type {self.content_type}")
        if parts[0].content != version:
            raise Fault(f"{what} has a version its kind does not have")
        self.content = der(content.content, inner).content
        carried = children(parts[3]) if len(parts) == 5 else []
        try:
            self.certificates = [x509.load_der_x509_certificate(c.encoded) for c in carried]
        except ValueError:
            raise Fault(f"{what} carries a certificate that cannot be read") from None
        for certificate in carried:  # the algorithm outside the signed part is the one inside
            tbs, outer, value = children(expect(certificate, SEQUENCE), SEQUENCE, SEQUENCE, 0x03)
            inner_algorithm = [c for c in children(tbs) if c.tag == SEQUENCE][0]
            if outer.encoded != inner_algorithm.encoded or value.content[:1] != b"\x00":
                raise Fault(f"{what} carries a certificate with data outside what its issuer signed")
        signers = children(parts[-1])
        if len(signers) != 1:
            raise Fault(f"{what} has {len(signers)} signers instead of one")
        fields = children(expect(signers[0], SEQUENCE))
        if [f.tag for f in fields][3:6] != [TAGGED0, SEQUENCE, OCTET_STRING] or len(fields) > 7 or \
                (len(fields) == 7 and fields[6].tag != TAGGED1):
            raise Fault(f"the signer of {what} has no authenticated attributes, or is malformed")
        version, identifier, digest_algorithm, signed, signature_algorithm, value = fields[:6]
        if version.content != (b"\x01" if identifier.tag == SEQUENCE else b"\x03"):
            raise Fault(f"the signer of {what} has a version its kind does not have")
        if [a.encoded for a in children(parts[1])] != [digest_algorithm.encoded]:
            raise Fault(f"{what} names other digest algorithms than its signer's")
        signer = self._signer(identifier, what)
        self.value = value.content
        attributes = self._attributes(signed, what)
        digest, hash_type = digest_of(digest_algorithm, self.content)
        if isinstance(signer.public_key(), rsa.RSAPublicKey):
            algorithm(signature_algorithm, RSA, (NULL,))
        else:
            algorithm(signature_algorithm, ECDSA, (None,))
        if [oid(der(v, OID)) for v in attributes.get(CONTENT_TYPE, [])] != [self.content_type]:
            raise Fault(f"the signer of {what} signed another type of content")
        if [der(v, OCTET_STRING).content for v in attributes.get(MESSAGE_DIGEST, [])] != [digest]:
            raise Fault(f"the content of {what} is not what its signer signed")
        try:  # the signer signs its authenticated attributes tagged as a SET
            check_value(signer.public_key(), self.value, bytes([SET]) + signed.encoded[1:], hash_type())
        except InvalidSignature:
            raise Fault(f"the value of {what} does not verify with its signer's key") from None
        try:
            usages = [u.dotted_string for u in signer.extensions.get_extension_for_class(
                x509.ExtendedKeyUsage).value]
        except x509.ExtensionNotFound:
            usages = [usage]
        if usage not in usages:
            raise Fault(f"the signer of {what}, {name(signer)}, may not sign this (its "
                        f"extended key usage lacks {usage})")
        self.unauthenticated = self._attributes(fields[6], what) if len(fields) == 7 else {}
        self.chain = self._chain(signer, what)

    @staticmethod
    def _attributes(element, what):
        found = {}
        for attribute in children(element):
            kind, values = children(expect(attribute, SEQUENCE), OID, SET)
            if oid(kind) in found:
                raise Fault(f"{what} has the attribute {oid(kind)} twice")
            found[oid(kind)] = [v.encoded for v in children(values)]
        return found

    def _signer(self, identifier, what):
        for certificate in self.certificates:
            if identifier.tag == SEQUENCE:  # issuer and serial number
                issuer, serial = children(identifier, SEQUENCE, INTEGER)
                if certificate.issuer.public_bytes() == issuer.encoded and \
                        certificate.serial_number == int.from_bytes(serial.content, "big", signed=True):
                    return certificate
            elif identifier.tag == 0x80:  # subject key identifier
                try:
                    key = certificate.extensions.get_extension_for_class(x509.SubjectKeyIdentifier)
                except x509.ExtensionNotFound:
                    continue
                if key.value.digest == identifier.content:
                    return certificate
        raise Fault(f"{what} does not carry its signer's certificate")

    def _chain(self, signer, what):
        """The signer's certificate and every certificate carried that issued one of them
        (a cross-certificate too), each one's own signature checked with an issuer's key;
        every certificate carried must be among them. `unchecked`: those whose issuer
        is not carried, whose own signature only a trust anchor can check."""
        chain, self.unchecked = [signer], []
        for certificate in chain:
            issuers = [c for c in self.certificates if c.subject == certificate.issuer]
            checked = [c for c in issuers if issued_by(certificate, c)]
            if issuers and not checked:
                raise Fault(f"in {what}, the certificate of {name(certificate)} does not verify "
                            "with its issuer's key")
            if not issuers:
                self.unchecked.append(certificate)
            chain += [c for c in checked if c not in chain]
        for certificate in self.certificates:
            if certificate not in chain:
                raise Fault(f"{what} carries a certificate that is not on its signer's chain: "
                            f"{name(certificate)}")
        return chain


def generalized_time(element):
    text = expect(element, GENERALIZED_TIME).content.decode("ascii", "replace")
    found = re.fullmatch(r"(\d{14})(?:\.\d+)?Z", text)
    if not found:
        raise Fault(f"its time stamp has a time that is not UTC: {text!r}")
    return datetime.datetime.strptime(found.group(1), "%Y%m%d%H%M%S").replace(tzinfo=datetime.timezone.utc)


class Signature:
    """The one Authenticode signature of a file, from its PKCS #7 `blob`, checked by
    itself: `chain` (the signer's certificate first), `digest` (the file digest it
    signs, for the caller to compare), `timestamp` ((time, the authority's chain))
    or None, and `unchecked` (certificates, of either, that no certificate carried
    issued, so that only a trust anchor can check them). Raises Fault."""

    def __init__(self, blob):
        signed = SignedData(blob, "its signature", CODE_SIGNING)
        if signed.content_type != INDIRECT_DATA:
            raise Fault("its signature is not an Authenticode signature")
        _, message = children(Element(SEQUENCE, signed.content, b"", 0), SEQUENCE, SEQUENCE)
        algorithm_, digest = children(expect(message, SEQUENCE), SEQUENCE, OCTET_STRING)
        digest_of(algorithm_, b"")  # an accepted algorithm
        self.digest = digest.content
        self.chain, self.timestamp, self.unchecked = signed.chain, None, signed.unchecked
        for kind, values in signed.unauthenticated.items():
            if kind != RFC3161_TIMESTAMP:
                raise Fault(f"its signature carries {UNAUTHENTICATED.get(kind, 'the unauthenticated attribute ' + kind)}, "
                            "which only a signature's own data may be")
            if len(values) != 1:
                raise Fault("its signature carries more than one time stamp")
            self.timestamp = self._timestamp(values[0], signed.value)

    def _timestamp(self, token, value):
        stamp = SignedData(token, "its time stamp", TIME_STAMPING)
        if stamp.content_type != TST_INFO or stamp.unauthenticated:
            raise Fault("its time stamp is not an RFC 3161 time stamp alone")
        info = children(der(stamp.content, SEQUENCE))
        if len(info) < 5:
            raise Fault("its time stamp is malformed")
        algorithm_, imprint = children(expect(info[2], SEQUENCE), SEQUENCE, OCTET_STRING)
        if digest_of(algorithm_, value)[0] != imprint.content:
            raise Fault("its time stamp is of another signature")
        self.unchecked += stamp.unchecked
        return generalized_time(info[4]), stamp.chain


def file_digests(path, chain):
    """The digest a file's content gives, as osslsigncode computes it for the file's
    kind, and for a package, the MsiDigitalSignatureEx it gives (or None). The
    signature's own certificates are its roots here: only the digests are read."""
    with tempfile.TemporaryDirectory() as work:
        roots = pathlib.Path(work, "roots.pem")
        roots.write_bytes(b"".join(c.public_bytes(serialization.Encoding.PEM) for c in chain))
        out = subprocess.run(["osslsigncode", "verify", "-ignore-cdp", "-CAfile", str(roots),
                              "-TSA-CAfile", str(roots), "-in", str(path)],
                             capture_output=True, text=True, errors="replace").stdout
    # Only what osslsigncode computed, printed before anything the signature carries.
    out = out.split("Signer's certificate", 1)[0]
    found = lambda label: re.search(rf"^Calculated {label}\s*:\s*([0-9A-F]+)", out, re.M)  # noqa: E731
    digest = found("DigitalSignature") or found("message digest")
    extended = found("MsiDigitalSignatureEx")
    return (bytes.fromhex(digest.group(1)) if digest else None,
            bytes.fromhex(extended.group(1)) if extended else None)


def chains_to(chain, cafile, moment):
    """None if `chain` ends at a root of `cafile` at `moment`, else why not, in
    OpenSSL's words."""
    with tempfile.TemporaryDirectory() as work:
        leaf, rest = pathlib.Path(work, "leaf.pem"), pathlib.Path(work, "carried.pem")
        leaf.write_bytes(chain[0].public_bytes(serialization.Encoding.PEM))
        rest.write_bytes(b"".join(c.public_bytes(serialization.Encoding.PEM) for c in chain[1:]))
        result = subprocess.run(
            ["openssl", "verify", "-no-CApath", "-no-CAstore", "-CAfile", str(cafile), "-attime", str(int(moment.timestamp())),
             "-purpose", "any", *(["-untrusted", str(rest)] if chain[1:] else []), str(leaf)],
            capture_output=True, text=True, errors="replace")
    if result.returncode == 0:
        return None
    errors = re.findall(r"error \d+ at \d+ depth lookup: (.*)", result.stdout + result.stderr)
    return errors[0] if errors else (result.stdout + result.stderr).strip().splitlines()[-1]
