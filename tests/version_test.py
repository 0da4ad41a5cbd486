#!/usr/bin/python3
"""A version bump is one edit: the sources copied to WORK_DIR, the version in
setup/product.json changed there and nowhere else, and a release build
carries the new version in its version block, its application manifest, its
window title and the winget manifest.

Usage: version_test.py SOURCE_DIR WORK_DIR
"""
import json
import os
import shutil
import subprocess
import sys
import unittest

import pefile

SOURCE, WORK = sys.argv[1:3]
VERSION = "2.13.7"


class VersionBump(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(WORK, ignore_errors=True)
        tree = os.path.join(WORK, "tree")
        files = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=SOURCE,
                               check=True, capture_output=True).stdout.decode().split("\0")
        for name in filter(None, files):
            os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
            shutil.copy2(os.path.join(SOURCE, name), os.path.join(tree, name))
        facts = os.path.join(tree, "setup", "product.json")
        with open(facts, encoding="utf-8") as text:
            before = text.read()
        current = json.loads(before)["version"]
        after = before.replace(f'"version": "{current}"', f'"version": "{VERSION}"')
        assert after != before
        with open(facts, "w", encoding="utf-8") as text:
            text.write(after)
        subprocess.run(["cmake", "-S", tree, "--preset", "release"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", os.path.join(tree, "build", "release"), "-j", str(os.cpu_count())],
                       check=True, stdout=subprocess.DEVNULL)
        cls.release = os.path.join(tree, "build", "release")
        cls.program = pefile.PE(os.path.join(cls.release, "setup.exe"))

    def test_the_version_block(self):
        fixed = self.program.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), ((2 << 16) | 13, 7 << 16))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), ((2 << 16) | 13, 7 << 16))
        strings = {}
        for info in self.program.FileInfo[0]:
            for table in getattr(info, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
        self.assertEqual(VERSION, strings["FileVersion"])
        self.assertEqual(VERSION, strings["ProductVersion"])

    def test_the_application_manifest(self):
        manifests = [entry for entry in self.program.DIRECTORY_ENTRY_RESOURCE.entries
                     if entry.id == pefile.RESOURCE_TYPE["RT_MANIFEST"]]
        data = manifests[0].directory.entries[0].directory.entries[0].data.struct
        text = self.program.get_data(data.OffsetToData, data.Size).decode()
        self.assertIn(f'name="Tarvo.Markwise" version="{VERSION}.0"', text)

    def test_the_window_title(self):
        with open(os.path.join(self.release, "setup.exe"), "rb") as program:
            self.assertIn(f"Tarvo Markwise {VERSION} Kurulumu".encode("utf-16-le"), program.read())

    def test_the_winget_manifest(self):
        for name in ("TarvoSistem.TarvoMarkwise.yaml", "TarvoSistem.TarvoMarkwise.installer.yaml"):
            with open(os.path.join(self.release, "winget", name), encoding="utf-8") as manifest:
                self.assertIn(f'PackageVersion: "{VERSION}"', manifest.read())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
