#!/usr/bin/python3
"""The winget manifest the build wrote, read with a YAML parser and tried
under Wine as winget would try it: each installer switch, the hash of the
setup file, the return codes against the documented table, and the uninstall
entry the program writes against the manifest's entries.

Usage: manifest_test.py SETUP_FILE WINGET_DIR README
"""
import glob
import hashlib
import os
import re
import shlex
import subprocess
import sys
import tempfile
import time

import yaml

HARNESS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "harness")
KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall"
checks, failures = [], []


def check(condition, what):
    print(("ok: " if condition else "FAILED: ") + what)
    checks.append(what)
    if not condition:
        failures.append(what)


def run(*arguments):
    """Runs a program under the suite's Wine session; output goes to a file,
    not a pipe, which a restarted Wine desktop could keep open."""
    with tempfile.TemporaryFile() as output:
        return subprocess.run([os.path.join(HARNESS, "wine-run.sh"), *arguments], stdout=output, stderr=output,
                              stdin=subprocess.DEVNULL, timeout=300).returncode


def registry_values(key_name, folder):
    """The values of one uninstall key, exported by the registry tool."""
    exported = os.path.join(folder, "entry.reg")
    if run("reg", "export", f"{KEY}\\{key_name}", "Z:" + exported.replace("/", "\\"), "/y") != 0:
        return None
    with open(exported, encoding="utf-16") as text:
        return {name: re.sub(r"\\(.)", r"\1", value)
                for name, value in re.findall(r'^"([^"]+)"="((?:[^"\\]|\\.)*)"$', text.read(), re.MULTILINE)}


def wait_until_gone(path, seconds):
    for _ in range(seconds * 10):
        if not os.path.exists(path):
            return True
        time.sleep(0.1)
    return False


def main():
    setup, winget, readme = sys.argv[1:]
    manifests = {}
    for path in sorted(glob.glob(os.path.join(winget, "*.yaml"))):
        with open(path, encoding="utf-8") as text:
            document = yaml.safe_load(text)
        manifests[document["ManifestType"]] = document
    check(sorted(manifests) == ["defaultLocale", "installer", "version"], "three manifests: version, locale, installer")
    installer = manifests["installer"]
    for document in manifests.values():
        check(document["ManifestVersion"] == "1.10.0" and document["PackageIdentifier"] == "TarvoSistem.TarvoMarkwise"
              and document["PackageVersion"] == "1.0.2", f"{document['ManifestType']}: identifier and versions")
    check(manifests["version"]["DefaultLocale"] == "tr-TR", "default locale tr-TR")
    check(all(manifests["defaultLocale"].get(field) for field in ("Publisher", "PackageName", "License",
                                                                  "ShortDescription")), "locale fields filled")
    check(installer["InstallerType"] == "exe" and installer["Scope"] == "user", "exe installer for the user")
    with open(setup, "rb") as data:
        digest = hashlib.sha256(data.read()).hexdigest()
    check(installer["Installers"][0]["InstallerSha256"].lower() == digest, "InstallerSha256 is the setup file's")
    check(installer["Installers"][0]["Architecture"] == "x64", "one x64 installer")

    # The manifest expects exactly the documented non-zero codes, each with
    # the documented response.
    with open(readme, encoding="utf-8") as text:
        documented = {int(code): response for code, response in
                      re.findall(r"^\| (\d+) \| [^|]* \| (\w*) ?\|$", text.read(), re.MULTILINE)}
    expected = {entry["InstallerReturnCode"]: entry["ReturnResponse"] for entry in installer["ExpectedReturnCodes"]}
    check(0 in documented and expected == {code: response for code, response in documented.items() if code},
          f"return codes {expected} are the documented ones {documented}")

    # Installed exactly as winget runs it: the setup file, then each switch.
    setup_path = "Z:" + os.path.abspath(setup).replace("/", "\\")
    switches = installer["InstallerSwitches"]
    with tempfile.TemporaryDirectory() as folder:
        check(run(setup_path, *shlex.split(switches["Silent"])) == 0, "Silent: exit 0")
        local = glob.glob(os.path.join(os.environ["TARVO_WINE_ROOT"], "prefix", "drive_c", "users", "*", "AppData",
                                       "Local", "Programs", "Tarvo Markwise"))
        check(len(local) == 1 and os.path.exists(os.path.join(local[0], "TarvoMarkwise.exe")), "Silent: installed")
        check(run(setup_path, *shlex.split(switches["SilentWithProgress"])) == 0, "SilentWithProgress: exit 0")
        log = os.path.join(folder, "winget log.txt")
        log_switch = switches["Log"].replace("<LOGPATH>", "Z:" + log.replace("/", "\\"))
        check(run(setup_path, *shlex.split(switches["Silent"]), *shlex.split(log_switch)) == 0, "Log: exit 0")
        check(os.path.exists(log) and b"exit code 0" in open(log, "rb").read(), "Log: the log names the outcome")

        entry = installer["AppsAndFeaturesEntries"][0]
        values = registry_values(installer["ProductCode"], folder) or {}
        check(entry["ProductCode"] == installer["ProductCode"], "ProductCode: the uninstall key's name")
        for field in ("DisplayName", "Publisher", "DisplayVersion"):
            check(values.get(field) == entry[field], f"{field}: {values.get(field)!r} in the registry")
        check(manifests["defaultLocale"]["Publisher"] == values.get("Publisher"), "locale Publisher as registered")

        quiet = values.get("QuietUninstallString", "")
        command = [part.strip('"') for part in shlex.split(quiet, posix=False)]
        check(quiet.endswith("--uninstall --silent") and run(*command) == 0, "QuietUninstallString: exit 0")
        check(bool(local) and wait_until_gone(local[0], 15), "the install folder is gone after the uninstall")

    print(f"of {len(checks)} manifest checks, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
