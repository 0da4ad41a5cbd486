#!/usr/bin/python3
"""The release packer: the files it writes, what it refuses, what verify finds.

Arguments: PACKER STUB BUILT_SETUP_FILE DEFAULT_PAYLOAD
"""
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

PACKER, STUB, BUILT, DEFAULT_PAYLOAD = sys.argv[1:5]


def run(*arguments):
    return subprocess.run([sys.executable, PACKER, *arguments], capture_output=True, text=True)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


class PackerTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def path(self, name):
        return os.path.join(self.folder.name, name)

    def test_built_setup_file_is_stub_padding_payload_trailer_and_verifies(self):
        stub, payload, setup = read(STUB), read(DEFAULT_PAYLOAD), read(BUILT)
        padding = len(setup) - len(stub) - len(payload) - 24
        self.assertIn(padding, range(8))
        self.assertEqual(len(setup) % 8, 0)
        self.assertEqual(setup[:len(stub)], stub)
        self.assertEqual(setup[len(stub):len(stub) + padding], bytes(padding))
        self.assertEqual(setup[len(stub) + padding:-24], payload)
        magic, length, crc = struct.unpack("<12sQI", setup[-24:])
        self.assertEqual((magic, length, crc), (b"TARVOPKG3\0\0\0", len(payload), zlib.crc32(payload)))
        result = run("--verify", BUILT)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(f"payload {len(payload)} bytes", result.stdout)
        self.assertIn(f"{zlib.crc32(payload):08x} computed", result.stdout)

    def test_odd_sized_stubs_and_payloads_pack_byte_for_byte_with_the_trailer_on_8_bytes(self):
        for stub_size, app_size in ((4097, 65537), (4096, 8), (1, 1), (513, 6)):
            with self.subTest(stub=stub_size, app=app_size):
                write(self.path("stub"), os.urandom(stub_size))
                write(self.path("app"), os.urandom(app_size))
                result = run(self.path("stub"), self.path("app"), self.path("out.exe"))
                self.assertEqual(result.returncode, 0, result.stderr)
                out = read(self.path("out.exe"))
                self.assertEqual(len(out) % 8, 0)
                self.assertLess(len(out) - stub_size - app_size - 24, 8)
                self.assertEqual(out[-24 - app_size:-24], read(self.path("app")))
                self.assertEqual(run("--verify", self.path("out.exe")).returncode, 0)

    def test_refuses_bad_input_without_writing(self):
        write(self.path("stub"), b"MZ" + bytes(100))
        write(self.path("app"), b"app")
        write(self.path("empty"), b"")
        cases = [
            ((self.path("stub"), self.path("missing"), self.path("out")), "payload not found"),
            ((self.path("stub"), self.path("empty"), self.path("out")), "payload is empty"),
            ((self.path("missing"), self.path("app"), self.path("out")), "setup program not found"),
            ((self.path("stub"), self.path("app"), self.path("stub")), "overwrite an input"),
            ((self.path("stub"), self.path("app"), self.path("app")), "overwrite an input"),
            ((self.path("stub"),), "usage"),
        ]
        for arguments, message in cases:
            with self.subTest(arguments=arguments):
                result = run(*arguments)
                self.assertEqual(result.returncode, 1)
                self.assertIn(message, result.stderr)
        self.assertFalse(os.path.exists(self.path("out")))
        self.assertEqual(read(self.path("stub")), b"MZ" + bytes(100))
        self.assertEqual(read(self.path("app")), b"app")
        self.assertEqual(sorted(os.listdir(self.folder.name)), ["app", "empty", "stub"])

    def test_verify_finds_damage(self):
        write(self.path("stub"), b"MZ" + bytes(50))
        write(self.path("app"), os.urandom(1000))
        run(self.path("stub"), self.path("app"), self.path("good"))
        good = read(self.path("good"))
        damaged = {
            "flipped": good[:60] + bytes([good[60] ^ 1]) + good[61:],
            "short": good[-23:],
            "magic": good[:-24] + b"TARVOPKG4" + good[-15:],
            "zero": good[:-12] + bytes(8) + good[-4:],
            "long": good[:-12] + struct.pack("<Q", len(good) - 23) + good[-4:],
        }
        for name, data in damaged.items():
            with self.subTest(name=name):
                write(self.path(name), data)
                self.assertEqual(run("--verify", self.path(name)).returncode, 1)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
