#!/usr/bin/python3
"""Writes what the program takes from setup/product.json, the one home of the
product's facts: the header product.h (name, version, publisher, the uninstall
entry's key, the window class, the switches with their help lines and the
exit codes), and the resource script and the application manifest from their
templates in resources/ (setup.rc.in, setup.manifest.in), whose ${...} it
fills in.

Usage: make_product.py PRODUCT_JSON RESOURCES_DIR OUT_DIR
"""
import json
import os
import string
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
    return f"{first}{argument}{also}\n    {switch['help']}\n"


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


def template_values(product, resources, manifest):
    numbers = version_numbers(product["version"])
    return {
        "name": product["name"],
        "version": product["version"],
        "version_numbers": ", ".join(str(n) for n in numbers),
        "version_dotted": ".".join(str(n) for n in numbers),
        "publisher_plain": product["publisherPlain"],
        "entry_key": product["entryKey"],
        "assembly_name": product["assemblyName"],
        "icon": os.path.abspath(os.path.join(resources, "setup.ico")),
        "manifest": manifest,
    }


def filled(template, values):
    with open(template, encoding="utf-8") as text:
        return string.Template(text.read()).substitute(values)


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
    source, resources, out = sys.argv[1:]
    with open(source, encoding="utf-8") as facts:
        product = json.load(facts)
    os.makedirs(out, exist_ok=True)
    manifest = os.path.join(out, "setup.manifest")
    values = template_values(product, resources, manifest)
    write_if_changed(os.path.join(out, "product.h"), header(product))
    write_if_changed(manifest, filled(os.path.join(resources, "setup.manifest.in"), values))
    write_if_changed(os.path.join(out, "setup.rc"), filled(os.path.join(resources, "setup.rc.in"), values))


if __name__ == "__main__":
    main()
