#!/usr/bin/env python3
"""Writes the winget manifest of a release: the version, default locale and
installer manifests (ManifestVersion 1.10.0) for the setup file it is given.

The values the program holds (name, version, publisher, uninstall key,
summary, switches, exit codes) are read from setup/product.json, their one
home, so that the manifest cannot drift from the program. The output depends
only on its inputs: two builds of the same sources give the same bytes.

Usage: make_manifest.py SOURCE_DIR SETUP_FILE INSTALLER_URL LICENSE OUT_DIR
"""
import hashlib
import json
import os
import sys

PACKAGE_IDENTIFIER = "TarvoSistem.TarvoMarkwise"
LOCALE = "tr-TR"
MANIFEST_VERSION = "1.10.0"


def read_product(source):
    with open(os.path.join(source, "setup", "product.json"), encoding="utf-8") as facts:
        product = json.load(facts)
    switches = {switch["macro"]: switch["spellings"] for switch in product["switches"]}
    return {
        "name": product["name"],
        "version": product["version"],
        "publisher": product["publisher"],
        "key": product["entryKey"],
        "description": product["summary"] + ".",
        # The program's own spelling of each switch comes first in its list.
        "silent": switches["SILENT_SWITCHES"][0],
        "passive": switches["PASSIVE_SWITCHES"][0],
        "log": switches["LOG_SWITCHES"][0],
        "codes": [(code, response) for code, name, response, meaning in product["exitCodes"]],
    }


def scalar(value):
    """A YAML scalar: a number as it is, text double-quoted as JSON writes it."""
    return str(value) if isinstance(value, int) else json.dumps(value, ensure_ascii=False)


def render(fields, indent=0):
    lines = []
    pad = " " * indent
    for key, value in fields:
        if isinstance(value, list):
            lines.append(f"{pad}{key}:")
            for item in value:
                if isinstance(item, list):
                    first, *rest = render(item, indent + 2)
                    lines.append(f"{pad}- {first.lstrip()}")
                    lines.extend(rest)
                else:
                    lines.append(f"{pad}- {scalar(item)}")
        elif isinstance(value, tuple):
            lines.append(f"{pad}{key}:")
            lines.extend(render(list(value), indent + 2))
        else:
            lines.append(f"{pad}{key}: {scalar(value)}")
    return lines


def write(out, name, kind, fields):
    header = f"# yaml-language-server: $schema=https://aka.ms/winget-manifest.{kind}.{MANIFEST_VERSION}.schema.json"
    body = render(fields + [("ManifestType", kind), ("ManifestVersion", MANIFEST_VERSION)])
    with open(os.path.join(out, name), "w", encoding="utf-8", newline="\n") as manifest:
        manifest.write("\n".join([header, ""] + body) + "\n")


def main():
    if len(sys.argv) != 6:
        raise SystemExit(__doc__)
    source, setup, url, license_name, out = sys.argv[1:]
    if not url.startswith("https://"):
        raise SystemExit(f"the installer URL must be https: {url}")
    product = read_product(source)
    with open(setup, "rb") as setup_file:
        digest = hashlib.sha256(setup_file.read()).hexdigest().upper()
    os.makedirs(out, exist_ok=True)
    identity = [("PackageIdentifier", PACKAGE_IDENTIFIER), ("PackageVersion", product["version"])]

    write(out, f"{PACKAGE_IDENTIFIER}.yaml", "version", identity + [("DefaultLocale", LOCALE)])
    write(out, f"{PACKAGE_IDENTIFIER}.locale.{LOCALE}.yaml", "defaultLocale", identity + [
        ("PackageLocale", LOCALE),
        ("Publisher", product["publisher"]),
        ("PackageName", product["name"]),
        ("License", license_name),
        ("ShortDescription", product["description"]),
    ])
    write(out, f"{PACKAGE_IDENTIFIER}.installer.yaml", "installer", identity + [
        ("InstallerType", "exe"),
        ("Scope", "user"),
        ("InstallModes", ["interactive", "silent", "silentWithProgress"]),
        ("InstallerSwitches", (
            ("Silent", product["silent"]),
            ("SilentWithProgress", product["passive"]),
            ("Log", f'{product["log"]} "<LOGPATH>"'),
        )),
        ("ExpectedReturnCodes", [[("InstallerReturnCode", code), ("ReturnResponse", response)]
                                 for code, response in product["codes"] if code != 0]),
        ("UpgradeBehavior", "install"),
        ("ProductCode", product["key"]),
        ("AppsAndFeaturesEntries", [[
            ("DisplayName", product["name"]),
            ("Publisher", product["publisher"]),
            ("DisplayVersion", product["version"]),
            ("ProductCode", product["key"]),
        ]]),
        ("Installers", [[
            ("Architecture", "x64"),
            ("InstallerUrl", url),
            ("InstallerSha256", digest),
        ]]),
    ])


if __name__ == "__main__":
    main()
