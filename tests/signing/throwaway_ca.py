"""A throwaway certificate authority and code-signing certificate, made with
openssl at test time, and the osslsigncode calls the tests make.

Nothing here is ever trusted outside the test that made it: the keys live in
a temporary directory and the CA is valid for two days.
"""

import os
import subprocess
import time
from dataclasses import dataclass

OPENSSL = "openssl"
OSSLSIGNCODE = "osslsigncode"
HERE = os.path.dirname(os.path.abspath(__file__))
SIGN_SH = os.path.normpath(os.path.join(HERE, "..", "..", "scripts", "sign.sh"))

PASSWORD = "throwaway pass phrase"


@dataclass
class Signer:
    ca: str          # the CA certificate, for osslsigncode verify -CAfile
    ca_key: str      # its key, to issue more certificates
    cert: str        # the code-signing certificate the CA issued
    key: str         # its key, unencrypted
    key_encrypted: str  # the same key, encrypted with PASSWORD
    pkcs12: str      # certificate and key in one bundle, encrypted with PASSWORD
    # A time inside the certificate's validity, for reproducible signatures.
    sign_time: int


def _openssl(*args, cwd):
    subprocess.run([OPENSSL, *args], cwd=cwd, check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _issue(directory, name, subject, extensions, ca, ca_key, serial):
    """A key and a certificate for it, signed by the CA: NAME.key, NAME.pem."""
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key",
             "-out", f"{name}.csr", "-subj", subject, cwd=directory)
    with open(os.path.join(directory, f"{name}.ext"), "w", encoding="ascii") as f:
        f.write(extensions)
    _openssl("x509", "-req", "-in", f"{name}.csr", "-CA", ca, "-CAkey", ca_key,
             "-set_serial", str(serial), "-days", "2", "-extfile", f"{name}.ext",
             "-out", f"{name}.pem", cwd=directory)
    return os.path.join(directory, f"{name}.pem"), os.path.join(directory, f"{name}.key")


def make_signer(directory):
    """Creates the CA, the certificate and the key files in directory."""
    d = directory
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
             "-out", "ca.pem", "-subj", "/CN=InstTMMod test CA", "-days", "2",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign", cwd=d)
    _issue(d, "signer", "/CN=InstTMMod test signer",
           "basicConstraints=CA:FALSE\n"
           "keyUsage=critical,digitalSignature\n"
           "extendedKeyUsage=codeSigning\n", "ca.pem", "ca.key", 1)
    # The certificate is valid from now on: a signing time a minute from now
    # lies well inside it.
    sign_time = int(time.time()) + 60
    _openssl("pkey", "-in", "signer.key", "-aes256", "-passout", f"pass:{PASSWORD}",
             "-out", "key_encrypted.pem", cwd=d)
    _openssl("pkcs12", "-export", "-inkey", "signer.key", "-in", "signer.pem",
             "-out", "signer.p12", "-passout", f"pass:{PASSWORD}", cwd=d)
    path = lambda name: os.path.join(d, name)  # noqa: E731
    return Signer(path("ca.pem"), path("ca.key"), path("signer.pem"), path("signer.key"),
                  path("key_encrypted.pem"), path("signer.p12"), sign_time)


def run_sign_sh(*args, password=None, sign_sh=SIGN_SH, timeout=120):
    """Runs scripts/sign.sh; SIGN_PASSWORD set only when password is given."""
    env = dict(os.environ)
    env.pop("SIGN_PASSWORD", None)
    if password is not None:
        env["SIGN_PASSWORD"] = password
    return subprocess.run(["bash", sign_sh, *args], env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=timeout)


def verify(ca, path, tsa_ca=None):
    """osslsigncode verify against the CA (and a timestamp against the
    TSA's CA): (passed, output)."""
    tsa = ["-TSA-CAfile", tsa_ca] if tsa_ca else []
    result = subprocess.run([OSSLSIGNCODE, "verify", "-CAfile", ca, *tsa, "-in", path],
                            stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            timeout=120)
    return result.returncode == 0, result.stdout + result.stderr


def remove_signature(signed, out):
    subprocess.run([OSSLSIGNCODE, "remove-signature", "-in", signed, "-out", out],
                   check=True, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)


def make_tsa(directory, signer):
    """A timestamping certificate and key from the signer's CA: (cert, key)."""
    return _issue(directory, "tsa", "/CN=InstTMMod test TSA",
                  "basicConstraints=CA:FALSE\n"
                  "keyUsage=critical,digitalSignature\n"
                  "extendedKeyUsage=critical,timeStamping\n",
                  signer.ca, signer.ca_key, 2)
