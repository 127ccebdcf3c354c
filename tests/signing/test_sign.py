#!/usr/bin/python3
"""scripts/sign.sh against a throwaway CA made at test time.

    test_sign.py DLL

DLL is the built module; every test signs copies of it.
"""

import os
import shutil
import stat
import sys
import tempfile
import unittest

import pefile

import throwaway_ca
from local_tsa import LocalTsa
from throwaway_ca import PASSWORD, remove_signature, run_sign_sh, verify

MODULE = None  # the built module, from the command line
SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def signature_span(data):
    """(file offset, size) of the signature: the security directory names a
    file offset, not an RVA."""
    pe = pefile.PE(data=data, fast_load=True)
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
    return entry.VirtualAddress, entry.Size


class SignTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.keys_dir = tempfile.mkdtemp(prefix="sign_test_keys.")
        cls.signer = throwaway_ca.make_signer(cls.keys_dir)
        cls.unsigned = read(MODULE)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys_dir)

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="sign_test.")
        self.addCleanup(shutil.rmtree, self.tmp)

    def copy(self, name="InstTMMod.dll", data=None):
        path = os.path.join(self.tmp, name)
        with open(path, "wb") as f:
            f.write(self.unsigned if data is None else data)
        return path

    def sign(self, path, *how, password=None, extra=()):
        s = self.signer
        how = how or ("--cert", s.cert, "--key", s.key)
        result = run_sign_sh(*how, "--time", str(s.sign_time), *extra, path,
                             password=password)
        self.assertEqual(result.returncode, 0, result.stderr)
        return read(path)


class Signing(SignTest):
    def test_signed_module_verifies_and_strips_back_to_the_build(self):
        s = self.signer
        path = self.copy()
        mode = os.stat(path).st_mode
        signed = self.sign(path)
        self.assertNotEqual(signed, self.unsigned)
        offset, size = signature_span(signed)
        self.assertGreater(size, 0, "no signature in the security directory")
        self.assertEqual(offset + size, len(signed), "the signature is not at the end")
        self.assertEqual(os.stat(path).st_mode, mode, "signing changed the file's mode")

        passed, out = verify(s.ca, path)
        self.assertTrue(passed, out)

        stripped = os.path.join(self.tmp, "stripped.dll")
        remove_signature(path, stripped)
        self.assertEqual(read(stripped), self.unsigned,
                         "removing the signature must give back the unsigned build")

    def test_every_key_form_gives_the_same_bytes_at_a_fixed_time(self):
        s = self.signer
        reference = self.sign(self.copy("reference.dll"))
        forms = [
            ("the same key again", ("--cert", s.cert, "--key", s.key), None),
            ("encrypted key", ("--cert", s.cert, "--key", s.key_encrypted), PASSWORD),
            ("PKCS#12 bundle", ("--pkcs12", s.pkcs12), PASSWORD),
        ]
        for what, how, password in forms:
            with self.subTest(what):
                signed = self.sign(self.copy(), *how, password=password)
                self.assertEqual(signed, reference)

    def test_signing_again_replaces_the_signature(self):
        path = self.copy()
        once = self.sign(path)
        self.assertEqual(self.sign(path), once)
        passed, out = verify(self.signer.ca, path)
        self.assertTrue(passed, out)

    def test_file_defaults_to_dist_of_the_checkout(self):
        # A checkout of its own: the script and a dist/ folder beside it.
        checkout = os.path.join(self.tmp, "checkout")
        os.makedirs(os.path.join(checkout, "scripts"))
        os.makedirs(os.path.join(checkout, "dist"))
        script = os.path.join(checkout, "scripts", "sign.sh")
        shutil.copy(throwaway_ca.SIGN_SH, script)
        dll = os.path.join(checkout, "dist", "InstTMMod.dll")
        shutil.copy(MODULE, dll)
        s = self.signer
        result = run_sign_sh("--cert", s.cert, "--key", s.key, "--time", str(s.sign_time),
                             sign_sh=script)
        self.assertEqual(result.returncode, 0, result.stderr)
        passed, out = verify(s.ca, dll)
        self.assertTrue(passed, out)


    def test_timestamp_server_countersigns(self):
        s = self.signer
        tsa_cert, tsa_key = throwaway_ca.make_tsa(self.tmp, s)
        path = self.copy()
        with LocalTsa(self.tmp, tsa_cert, tsa_key, s.ca) as tsa:
            self.sign(path, extra=("--timestamp", tsa.url))
        self.assertEqual((tsa.requests, tsa.errors), (1, []))
        passed, out = verify(s.ca, path, tsa_ca=s.ca)
        self.assertTrue(passed, out)
        self.assertIn("Timestamp Server Signature verification: ok", out)
        stripped = os.path.join(self.tmp, "stripped.dll")
        remove_signature(path, stripped)
        self.assertEqual(read(stripped), self.unsigned)


class Tampering(SignTest):
    def test_one_changed_byte_fails_verification(self):
        path = self.copy()
        signed = self.sign(path)
        pe = pefile.PE(data=signed, fast_load=True)
        code = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".text")
        sig_offset, sig_size = signature_span(signed)

        def directory_middle(name):
            """A file offset inside a data directory: its section differs
            between linkers, the directory does not."""
            entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[name]]
            return pe.get_offset_from_rva(entry.VirtualAddress + entry.Size // 2)

        places = [
            ("code", code.PointerToRawData + code.Misc_VirtualSize // 2),
            ("version resource", directory_middle("IMAGE_DIRECTORY_ENTRY_RESOURCE")),
            ("import table", directory_middle("IMAGE_DIRECTORY_ENTRY_IMPORT")),
            ("export table", directory_middle("IMAGE_DIRECTORY_ENTRY_EXPORT")),
            ("DOS stub", 0x4E),
            ("signature", sig_offset + sig_size // 2),
        ]
        passed, out = verify(self.signer.ca, path)
        self.assertTrue(passed, out)
        for what, offset in places:
            with self.subTest(what, offset=hex(offset)):
                changed = bytearray(signed)
                changed[offset] ^= 0x01
                tampered = self.copy("tampered.dll", bytes(changed))
                passed, out = verify(self.signer.ca, tampered)
                self.assertFalse(passed, f"a changed byte at {offset:#x} still verifies:\n{out}")


class BadInput(SignTest):
    """Each bad input: a non-zero exit, a message that names the problem, FILE
    exactly as it was and nothing left behind beside it."""

    def test_each_bad_input_fails_cleanly_and_leaves_file_unchanged(self):
        s = self.signer
        directory = os.path.join(self.tmp, "not_a_file")
        os.makedirs(directory)
        garbage = os.path.join(self.tmp, "garbage.pem")
        with open(garbage, "w", encoding="ascii") as f:
            f.write("-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydGlmaWNhdGU=\n"
                    "-----END CERTIFICATE-----\n")
        other_signer = throwaway_ca.make_signer(self.tmp)  # a key of another certificate
        text = b"not a module\n"
        truncated = self.unsigned[:0x200]  # headers only: MZ and PE signature, no sections
        good = ("--cert", s.cert, "--key", s.key)

        # (what, arguments before FILE, SIGN_PASSWORD, FILE's content or None
        #  for no FILE, expected exit status, words the message must hold)
        cases = [
            ("no certificate", ("--cert", s.cert + ".missing", "--key", s.key), None,
             self.unsigned, 1, "no such file"),
            ("certificate is a directory", ("--cert", directory, "--key", s.key), None,
             self.unsigned, 1, "not a regular file"),
            ("no key", ("--cert", s.cert, "--key", s.key + ".missing"), None,
             self.unsigned, 1, "no such file"),
            ("certificate is not one", ("--cert", garbage, "--key", s.key), None,
             self.unsigned, 1, "failed"),
            ("key of another certificate", ("--cert", s.cert, "--key", other_signer.key),
             None, self.unsigned, 1, "failed"),
            ("no bundle", ("--pkcs12", s.pkcs12 + ".missing"), PASSWORD,
             self.unsigned, 1, "no such file"),
            ("wrong password for the bundle", ("--pkcs12", s.pkcs12), "wrong",
             self.unsigned, 1, "Wrong password"),
            ("no password for the bundle", ("--pkcs12", s.pkcs12), None,
             self.unsigned, 1, "failed"),
            ("wrong password for the key", ("--cert", s.cert, "--key", s.key_encrypted),
             "wrong", self.unsigned, 1, "Wrong password"),
            ("no password for the key", ("--cert", s.cert, "--key", s.key_encrypted), None,
             self.unsigned, 1, "SIGN_PASSWORD"),
            ("no such FILE", good, None, None, 1, "no such file"),
            ("FILE is text", good, None, text, 1, "not a PE image"),
            ("FILE is empty", good, None, b"", 1, "not a PE image"),
            ("FILE is a cut-off module", good, None, truncated, 1, "not a PE image"),
            ("timestamp server unreachable",
             good + ("--timestamp", "http://127.0.0.1:9/"), None, self.unsigned, 1, "failed"),
            ("password as an argument", good + ("--password", PASSWORD), None,
             self.unsigned, 2, "SIGN_PASSWORD"),
            ("bundle and key both", good + ("--pkcs12", s.pkcs12), PASSWORD,
             self.unsigned, 2, "not both"),
            ("certificate without key", ("--cert", s.cert), None, self.unsigned, 2,
             "--cert and --key"),
            ("time not a number", good + ("--time", "yesterday"), None, self.unsigned, 2,
             "--time"),
            ("timestamp not a URL", good + ("--timestamp", "tsa.example"), None,
             self.unsigned, 2, "--timestamp"),
        ]
        if os.geteuid() != 0:  # root reads a file whatever its mode
            unreadable = os.path.join(self.tmp, "unreadable.pem")
            shutil.copy(s.key, unreadable)
            os.chmod(unreadable, 0)
            cases.append(("key not readable", ("--cert", s.cert, "--key", unreadable), None,
                          self.unsigned, 1, "not readable"))

        for what, args, password, content, status, words in cases:
            with self.subTest(what):
                folder = tempfile.mkdtemp(dir=self.tmp)
                path = os.path.join(folder, "InstTMMod.dll")
                if content is not None:
                    with open(path, "wb") as f:
                        f.write(content)
                    os.chmod(path, 0o640)
                    before = os.stat(path)
                result = run_sign_sh(*args, path, password=password)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(words, result.stderr)
                if content is None:
                    self.assertFalse(os.path.exists(path), "a FILE appeared")
                else:
                    after = os.stat(path)
                    self.assertEqual(read(path), content, "FILE changed")
                    self.assertEqual((after.st_ino, stat.S_IMODE(after.st_mode)),
                                     (before.st_ino, 0o640), "FILE was replaced")
                self.assertEqual(sorted(os.listdir(folder)),
                                 [] if content is None else ["InstTMMod.dll"],
                                 "something was left beside FILE")


def main():
    global MODULE
    if len(sys.argv) < 2:
        print("usage: test_sign.py DLL [unittest options]", file=sys.stderr)
        return 64
    MODULE = sys.argv.pop(1)
    program = unittest.main(verbosity=2, exit=False)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
