#!/usr/bin/python3
"""Writes what the program takes from setup/product.json, the one home of the
product's facts: the header product.h (name, version, publisher, the uninstall
entry's key, the window class, the switches with their help lines and the
exit codes), the resource script setup.rc (icon, application manifest and
version block) and the application manifest setup.manifest.

Usage: make_product.py PRODUCT_JSON ICON OUT_DIR
"""
import json
import os
import sys


def wide(text):
    """A wide string literal of the text, in UTF-8 source."""
    return 'L"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\t", "\\t") + '"'


def narrow(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def version_numbers(version):
    """The four numbers of a Windows version: 1.0.2 is 1, 0, 2, 0."""
    numbers = [int(part) for part in version.split(".")]
    if not 1 <= len(numbers) <= 4 or any(n > 65535 for n in numbers):
        raise SystemExit(f"product.json: a version of one to four numbers up to 65535, not {version}")
    return numbers + [0] * (4 - len(numbers))


def help_line(switch):
    argument = " " + switch["argument"] if "argument" in switch else ""
    first, *others = switch["spellings"]
    if "argument" in switch:
        others = [other + switch["argument"] if other.endswith("=") else other + argument for other in others]
    also = f" ({', '.join(others)})" if others else ""
    return f"{first}{argument}{also}\t{switch['help']}\n"


def header(product):
    lines = [
        "// Written by tools/make_product.py from setup/product.json, the one home",
        "// of these facts: edit that file, never this one.",
        "#ifndef TARVO_PRODUCT_H",
        "#define TARVO_PRODUCT_H",
        "",
        f"#define PRODUCT_NAME {wide(product['name'])}",
        f"#define PRODUCT_VERSION {wide(product['version'])}",
        f"#define PRODUCT_PUBLISHER {wide(product['publisher'])}",
        "// The name of the uninstall entry's key, under",
        "// HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall.",
        f"#define PRODUCT_ENTRY_KEY {wide(product['entryKey'])}",
        "// What the application does, as the window and the package manager say it.",
        f"#define PRODUCT_SUMMARY {wide(product['summary'])}",
        "// The window's class: the entry's key and the version's digits.",
        f"#define PRODUCT_WINDOW_CLASS {wide(product['entryKey'] + 'Setup' + product['version'].replace('.', ''))}",
        "",
        "// Switches, compared without regard to case. The first of each list is the",
        "// program's own spelling; the others are those administrators reach for.",
        "// The log's is followed by the file's path as the next argument, or",
        "// joined to its second spelling.",
    ]
    for switch in product["switches"]:
        if "argument" in switch:
            lines.append(f"#define LOG_SWITCH {wide(switch['spellings'][0])}")
            lines.append(f"#define LOG_SWITCH_JOINED {wide(switch['spellings'][1])}")
        else:
            lines.append(f"#define {switch['macro']} {{{', '.join(wide(s) for s in switch['spellings'])}}}")
    lines += ["// One help line a switch, for the help box.", "#define PRODUCT_SWITCH_HELP \\"]
    lines += [f"    {wide(help_line(switch))} \\" for switch in product["switches"]]
    lines += [
        "",
        "",
        "// Exit codes of silent and passive runs: the code, its name in the program,",
        "// the response a package manager gives it, and its meaning as the help box",
        "// tells it. Windows error codes, so that deployment tools recognise them.",
        "#define SETUP_EXIT_CODES(X) \\",
    ]
    lines += [f"    X({code}, {name}, {narrow(response)}, {wide(meaning)}) \\"
              for code, name, response, meaning in product["exitCodes"]]
    lines += [
        "",
        "",
        "#define SETUP_EXIT_CODE_ENUM(code, name, response, meaning) name = code,",
        "enum SetupExitCode { SETUP_EXIT_CODES(SETUP_EXIT_CODE_ENUM) };",
        "#undef SETUP_EXIT_CODE_ENUM",
        "",
        "#endif",
    ]
    return "\n".join(lines) + "\n"


def resource_script(product, icon, manifest):
    numbers = ", ".join(str(n) for n in version_numbers(product["version"]))
    strings = [
        ("CompanyName", product["publisherPlain"]),
        ("FileDescription", product["name"] + " Kurulumu"),
        ("FileVersion", product["version"]),
        ("InternalName", product["entryKey"] + "Setup"),
        ("OriginalFilename", product["entryKey"] + "_Setup.exe"),
        ("ProductName", product["name"]),
        ("ProductVersion", product["version"]),
    ]
    values = "\n".join(f"            VALUE {narrow(key)}, {narrow(value)}" for key, value in strings)
    return f"""// Written by tools/make_product.py from setup/product.json.
#pragma code_page(65001)
#include <windows.h>

LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US

1 ICON {narrow(icon)}

CREATEPROCESS_MANIFEST_RESOURCE_ID RT_MANIFEST {narrow(manifest)}

VS_VERSION_INFO VERSIONINFO
FILEVERSION {numbers}
PRODUCTVERSION {numbers}
FILEFLAGSMASK 0x3F
FILEFLAGS 0
FILEOS VOS_NT_WINDOWS32
FILETYPE VFT_APP
FILESUBTYPE 0
BEGIN
    BLOCK "StringFileInfo"
    BEGIN
        BLOCK "041F04E6"
        BEGIN
{values}
        END
    END
    BLOCK "VarFileInfo"
    BEGIN
        VALUE "Translation", 0x041F, 1254
    END
END
"""


def application_manifest(product):
    version = ".".join(str(n) for n in version_numbers(product["version"]))
    return f"""<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity type="win32" name="{product['assemblyName']}" version="{version}" processorArchitecture="amd64"/>
  <description>{product['name']}</description>
  <dependency>
    <dependentAssembly>
      <assemblyIdentity type="win32" name="Microsoft.Windows.Common-Controls" version="6.0.0.0" processorArchitecture="*" publicKeyToken="6595b64144ccf1df" language="*"/>
    </dependentAssembly>
  </dependency>
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">
    <security>
      <requestedPrivileges>
        <requestedExecutionLevel level="asInvoker" uiAccess="false"/>
      </requestedPrivileges>
    </security>
  </trustInfo>
  <application xmlns="urn:schemas-microsoft-com:asm.v3">
    <windowsSettings>
      <dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true/pm</dpiAware>
      <dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">PerMonitorV2,PerMonitor</dpiAwareness>
    </windowsSettings>
  </application>
</assembly>
"""


def write_if_changed(path, text):
    """Leaves a file that is already right alone, so nothing rebuilds for it."""
    if os.path.exists(path):
        with open(path, encoding="utf-8") as current:
            if current.read() == text:
                return
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        out.write(text)


def main():
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    source, icon, out = sys.argv[1:]
    with open(source, encoding="utf-8") as facts:
        product = json.load(facts)
    os.makedirs(out, exist_ok=True)
    manifest = os.path.join(out, "setup.manifest")
    write_if_changed(os.path.join(out, "product.h"), header(product))
    write_if_changed(manifest, application_manifest(product))
    write_if_changed(os.path.join(out, "setup.rc"), resource_script(product, os.path.abspath(icon), manifest))


if __name__ == "__main__":
    main()
