"""Throwaway certification authorities and signers for the kit's signing tests, made
in the test process (EC keys but where RSA is the point), and an RFC 3161
time-stamp authority on the loopback that `openssl ts` answers for."""
import datetime
import hashlib
import http.server
import os
import pathlib
import shutil
import subprocess
import threading

from asn1crypto import cms, core, tsp
from asn1crypto import x509 as asn1x509
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.x509.oid import NameOID

CODE_SIGNING, TIME_STAMPING, SERVER_AUTH = "1.3.6.1.5.5.7.3.3", "1.3.6.1.5.5.7.3.8", "1.3.6.1.5.5.7.3.1"
LIFETIME_SIGNING = "1.3.6.1.4.1.311.10.3.13"
DAY = datetime.timedelta(days=1)
# One clock for every certificate of a run, so that a time a test derives from it falls
# inside the validity it means, however long the certificates take to make.
NOW = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)


def sha1_signed(certificate, key):
    """The certificate signed again by an RSA `key` with SHA-1 (PKCS #1 v1.5), in plain
    arithmetic."""
    tbs = asn1x509.Certificate.load(certificate.public_bytes(serialization.Encoding.DER))["tbs_certificate"]
    tbs["signature"] = {"algorithm": "sha1_rsa"}
    tbs = tbs.dump(force=True)
    numbers = key.private_numbers()
    n, size = numbers.public_numbers.n, key.key_size // 8
    info = bytes.fromhex("3021300906052b0e03021a05000414") + hashlib.sha1(tbs).digest()  # DigestInfo, SHA-1
    block = int.from_bytes(b"\0\1" + b"\xff" * (size - 3 - len(info)) + b"\0" + info, "big")
    return x509.load_der_x509_certificate(asn1x509.Certificate({
        "tbs_certificate": asn1x509.TbsCertificate.load(tbs), "signature_algorithm": {"algorithm": "sha1_rsa"},
        "signature_value": pow(block, numbers.d, n).to_bytes(size, "big")}).dump())


class Identity:
    """A certificate, its key, and the certificates above it up to its root."""

    def __init__(self, name, issuer=None, ca=False, usage=(CODE_SIGNING,), days=(-1, 30),
                 key="ec", digest=hashes.SHA256, key_usage=None, extensions=()):
        """`key`: "ec" (P-256), an RSA key size, or another Identity whose key to share;
        `key_usage`: KeyUsage's nine flags, if not those of a CA or a signer."""
        self.key = (ec.generate_private_key(ec.SECP256R1()) if key == "ec" else key.key
                    if isinstance(key, Identity) else rsa.generate_private_key(public_exponent=65537, key_size=key))
        subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
        builder = (x509.CertificateBuilder().subject_name(subject)
                   .issuer_name(issuer.certificate.subject if issuer else subject)
                   .public_key(self.key.public_key()).serial_number(x509.random_serial_number())
                   .not_valid_before(NOW + days[0] * DAY).not_valid_after(NOW + days[1] * DAY)
                   .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
                   .add_extension(x509.KeyUsage(*(key_usage or (not ca, False, False, False, False, ca, ca,
                                                                False, False))), critical=True))
        for extension in extensions:  # non-critical
            builder = builder.add_extension(extension, critical=False)
        if usage:
            builder = builder.add_extension(x509.ExtendedKeyUsage(
                [x509.ObjectIdentifier(u) for u in usage]), critical=usage == (TIME_STAMPING,))
        if digest is hashes.SHA1:  # by hand: Debian 13's OpenSSL makes no SHA-1 signature
            self.certificate = sha1_signed(builder.sign(issuer.key, hashes.SHA256()), issuer.key)
        else:
            self.certificate = builder.sign((issuer or self).key, digest())
        self.chain = [self] + (issuer.chain if issuer else [])

    def pem(self):
        return self.certificate.public_bytes(serialization.Encoding.PEM)

    def files(self, folder, name):
        """(the chain's PEM file, the key's PEM file) in `folder`."""
        folder = pathlib.Path(folder)
        folder.mkdir(parents=True, exist_ok=True)
        (folder / f"{name}.pem").write_bytes(b"".join(i.pem() for i in self.chain))
        (folder / f"{name}.key").write_bytes(self.key.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
        return str(folder / f"{name}.pem"), str(folder / f"{name}.key")


def osslsigncode(path, command, *options):
    """Replaces a file with what osslsigncode's `command` makes of it."""
    path = str(path)
    subprocess.run(["osslsigncode", command, *options, "-in", path, "-out", path + ".new"],
                   check=True, capture_output=True)
    os.replace(path + ".new", path)


def sign(path, signer, folder, authority=None, at=None, *options):
    """Signs a file as make dist does; if `authority` is given, time-stamped by it at
    `at` (a datetime), whatever its certificate is for, as no real authority would."""
    chain, key = signer.files(folder, "signer")
    # osslsigncode knows a script by its name's suffix.
    shutil.copyfile(path, pathlib.Path(folder, "unsigned" + pathlib.Path(path).suffix))
    osslsigncode(path, "sign", "-certs", chain, "-key", key, "-h", "sha256", "-n", "install-ca-certs",
                 "-time", "1796860800", *options)
    if authority:
        def stamped(signature):
            signer_info = signature["content"]["signer_infos"][0]
            token, swap = time_stamp(authority, signer_info["signature"].native, at)
            signer_info["unsigned_attrs"] = cms.CMSAttributes([{"type": "1.3.6.1.4.1.311.3.3.1",
                                                                 "values": [token]}])
            return signature.dump().replace(*swap)
        reattach(path, folder, stamped)


def reattach(path, folder, change):
    """Replaces the signature of a file that `sign` signed with `change(signature)`,
    attached by osslsigncode to the file as it was before, as make dist attaches one."""
    blob = pathlib.Path(folder, "signature.p7")
    blob.unlink(missing_ok=True)  # osslsigncode writes no file over another
    subprocess.run(["osslsigncode", "extract-signature", "-in", str(path), "-out", str(blob)],
                   check=True, capture_output=True)
    blob.write_bytes(change(cms.ContentInfo.load(blob.read_bytes())))
    unsigned = pathlib.Path(folder, "unsigned" + pathlib.Path(path).suffix)
    subprocess.run(["osslsigncode", "attach-signature", "-sigin", str(blob), "-in", str(unsigned), "-out",
                    f"{path}.new"], capture_output=True)
    os.replace(f"{path}.new", path)


def time_stamp(authority, value, at):
    """(an RFC 3161 time-stamp token of a signature's value, by `authority` at `at`, the
    bytes to swap in what carries it). `at`: a datetime, or the text of a GeneralizedTime
    as it stands; one that is not UTC goes in as a stand-in of its length, since asn1crypto
    may write such a time again as UTC, and the swap puts it back."""
    swap = (b"", b"")
    if isinstance(at, str) and not at.endswith("Z"):
        swap, at = (at[:14].encode() + b".123Z", at.encode()), at[:14] + ".123Z"
        assert len(swap[0]) == len(swap[1])
    if isinstance(at, str):
        at = core.GeneralizedTime.load(bytes([0x18, len(at)]) + at.encode("ascii"))
    info = tsp.TSTInfo({"version": "v1", "policy": "1.2.3.4.1", "serial_number": 1, "gen_time": at,
                        "message_imprint": {"hash_algorithm": {"algorithm": "sha256"},
                                            "hashed_message": hashlib.sha256(value).digest()}})
    info = info.dump()
    attributes = cms.CMSAttributes([
        {"type": "content_type", "values": ["tst_info"]},
        {"type": "message_digest", "values": [hashlib.sha256(info.replace(*swap)).digest()]}])
    certificate = asn1x509.Certificate.load(authority.certificate.public_bytes(serialization.Encoding.DER))
    key = authority.key
    signature = (key.sign(attributes.dump(), ec.ECDSA(hashes.SHA256())) if isinstance(key, ec.EllipticCurvePrivateKey)
                 else key.sign(attributes.dump(), padding.PKCS1v15(), hashes.SHA256()))
    return cms.ContentInfo({"content_type": "signed_data", "content": {
        "version": "v3", "digest_algorithms": [{"algorithm": "sha256"}],
        "encap_content_info": {"content_type": "tst_info", "content": core.ParsableOctetString(info)},
        "certificates": [certificate] + [asn1x509.Certificate.load(i.certificate.public_bytes(
            serialization.Encoding.DER)) for i in authority.chain[1:]],
        "signer_infos": [{
            "version": "v1", "sid": {"issuer_and_serial_number": {
                "issuer": certificate.issuer, "serial_number": certificate.serial_number}},
            "digest_algorithm": {"algorithm": "sha256"}, "signed_attrs": attributes,
            "signature_algorithm": {"algorithm": "sha256_ecdsa" if isinstance(key, ec.EllipticCurvePrivateKey)
                                    else "sha256_rsa"},
            "signature": signature}]}}), swap


class TimeStampAuthority:
    """An RFC 3161 authority at `url`, on the loopback, as long as the context lasts."""

    def __init__(self, identity, folder):
        certs, key = identity.files(folder, "tsa")
        folder = pathlib.Path(folder)
        config = folder / "tsa.cnf"
        config.write_text(f"[tsa]\ndefault_tsa = throwaway\n[throwaway]\nserial = {folder}/tsa.serial\n"
                          "signer_digest = sha256\ndefault_policy = 1.2.3.4.1\ndigests = sha256\n"
                          "ess_cert_id_alg = sha256\n")
        (folder / "tsa.serial").write_text("01\n")
        command = ["openssl", "ts", "-reply", "-config", str(config), "-signer", certs, "-inkey", key,
                   "-chain", certs, "-queryfile", "/dev/stdin", "-out", "/dev/stdout"]

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                reply = subprocess.run(command, input=query, capture_output=True, check=True).stdout
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *_):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"

    def __enter__(self):
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *_):
        self.server.shutdown()
        self.server.server_close()
