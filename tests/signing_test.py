#!/usr/bin/python3
"""Signed setup files for the scenarios under Wine, checked here first with
osslsigncode and the packer's verify mode. Written to OUT_DIR:

  cert.pem               the throwaway certificate they are signed with
  signed.exe             the built setup file, signed
  signed-unaligned.exe   a setup file whose trailer did not end on 8 bytes,
                         signed, so that the signing tool added padding
  tampered.exe           signed.exe with one payload byte flipped
  appended.exe           signed.exe with data after the signature
  outside.exe            signed.exe whose certificate directory points past
                         the end of the file
  overlapping.exe        signed.exe whose certificate directory begins inside
                         the trailer

Arguments: SIGN_SCRIPT PACKER STUB PAYLOAD SETUP_FILE OUT_DIR
"""
import os
import struct
import subprocess
import sys
import unittest
import zlib

SIGN, PACKER, STUB, PAYLOAD, SETUP, OUT = sys.argv[1:7]
TRAILER = struct.Struct("<12sQI")


def path(name):
    return os.path.join(OUT, name)


def read(name):
    with open(name, "rb") as f:
        return f.read()


def write(name, data):
    with open(path(name), "wb") as f:
        f.write(data)


def sign(source, target):
    subprocess.run([SIGN, source, path(target), "--certs", path("cert.pem"), "--key", path("key.pem"),
                    "--ca-file", path("cert.pem")], check=True, stdout=subprocess.DEVNULL)


def osslsigncode_verifies(name):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", path("cert.pem"), "-in", path(name)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def packer_verify(name):
    return subprocess.run([sys.executable, PACKER, "--verify", path(name)], capture_output=True, text=True)


def certificate_directory(data):
    """File offset of directory 4 of a PE32+ header, and its {offset, size}."""
    at = struct.unpack_from("<I", data, 0x3C)[0] + 4 + 20 + 112 + 4 * 8
    return (at,) + struct.unpack_from("<II", data, at)


def with_directory(data, offset, size):
    at = certificate_directory(data)[0]
    return data[:at] + struct.pack("<II", offset, size) + data[at + 8:]


class SignedFiles(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.makedirs(OUT, exist_ok=True)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Tarvo Test Signing",
                        "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature",
                        "-keyout", path("key.pem"), "-out", path("cert.pem"), "-days", "30"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        sign(SETUP, "signed.exe")
        payload = read(PAYLOAD)
        unaligned = read(STUB) + b"\x01\x02\x03" + payload + TRAILER.pack(b"TARVOPKG3\0\0\0", len(payload), zlib.crc32(payload))
        assert len(unaligned) % 8 != 0
        write("unaligned.exe", unaligned)
        sign(path("unaligned.exe"), "signed-unaligned.exe")
        signed = read(path("signed.exe"))
        _, table, size = certificate_directory(signed)
        flipped = bytearray(signed)
        flipped[table - 24 - len(payload) // 2] ^= 0x01
        write("tampered.exe", bytes(flipped))
        write("appended.exe", signed + b"data appended after the signature")
        write("outside.exe", with_directory(signed, len(signed) + 8, size))
        write("overlapping.exe", with_directory(signed, table - 12, size + 12))

    def test_signed_files_verify_and_hold_the_package(self):
        for name in ("signed.exe", "signed-unaligned.exe"):
            with self.subTest(name=name):
                self.assertTrue(osslsigncode_verifies(name))
                result = packer_verify(name)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn("signed: certificate table", result.stdout)
        # The packer ends the trailer on 8 bytes: signing adds nothing.
        self.assertEqual(certificate_directory(read(path("signed.exe")))[1], os.path.getsize(SETUP))
        # Without that, the signing tool pads with zero bytes.
        unaligned = os.path.getsize(path("unaligned.exe"))
        table = certificate_directory(read(path("signed-unaligned.exe")))[1]
        self.assertEqual(table, unaligned + (-unaligned % 8))
        self.assertGreater(table, unaligned)
        self.assertEqual(read(path("signed-unaligned.exe"))[unaligned:table], bytes(table - unaligned))

    def test_damage_fails_the_signature_or_the_package(self):
        self.assertFalse(osslsigncode_verifies("tampered.exe"))
        self.assertFalse(osslsigncode_verifies("appended.exe"))
        expected = {"tampered.exe": "CRC-32 mismatch", "appended.exe": "no package trailer",
                    "outside.exe": "no package trailer", "overlapping.exe": "no package trailer"}
        for name, message in expected.items():
            with self.subTest(name=name):
                result = packer_verify(name)
                self.assertEqual(result.returncode, 1)
                self.assertIn(message, result.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
