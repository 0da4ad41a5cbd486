#!/usr/bin/python3
"""The release program passes the platform's binary hardening checks: ASLR
with high-entropy addresses, no-execute data, no section both writable and
executable or shared and writable, terminal-server awareness, the CET
shadow-stack mark, and a stack protector on every source of the program,
with its guard seeded from the system's generator and _FORTIFY_SOURCE.

Arguments: the program, the program's static library, nm, and the build's
compile_commands.json.
"""
import json
import subprocess
import sys

import pefile

program, library, nm, commands = sys.argv[1:5]
failures = []

image = pefile.PE(program)
flags = image.OPTIONAL_HEADER.DllCharacteristics
for name in ("DYNAMIC_BASE", "HIGH_ENTROPY_VA", "NX_COMPAT", "TERMINAL_SERVER_AWARE"):
    if not flags & pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_" + name]:
        failures.append(f"{name} missing")
for section in image.sections:
    name = section.Name.rstrip(b"\0").decode()
    writable = section.Characteristics & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]
    if writable and section.Characteristics & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]:
        failures.append(f"section {name} writable and executable")
    if writable and section.Characteristics & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_SHARED"]:
        failures.append(f"section {name} shared and writable")

marks = [entry for entry in getattr(image, "DIRECTORY_ENTRY_DEBUG", [])
         if entry.struct.Type == pefile.DEBUG_TYPE["IMAGE_DEBUG_TYPE_EX_DLLCHARACTERISTICS"]]
if not marks or not int.from_bytes(image.get_data(marks[0].struct.AddressOfRawData, 4), "little") & 0x1:
    failures.append("CET shadow-stack compatibility mark missing")

imported = {function.name for module in image.DIRECTORY_ENTRY_IMPORT for function in module.imports}
if b"SystemFunction036" not in imported:
    failures.append("the stack guard is not seeded from the system's generator (no SystemFunction036 import)")

# Every object of the program's library that has a function worth
# protecting calls the check; only the guard's own object has none.
listing = subprocess.run([nm, "-u", "-A", library], capture_output=True, text=True, check=True).stdout
objects = {line.split(":")[1] for line in listing.splitlines() if line.count(":") >= 2}
checked = {line.split(":")[1] for line in listing.splitlines() if line.endswith("__stack_chk_fail")}
unprotected = sorted(objects - checked - {"guard.cpp.obj"})
if len(checked) < 10 or unprotected:
    failures.append(f"stack protector: {len(checked)} objects checked, none in {', '.join(unprotected)}")

with open(commands) as handle:
    sources = [entry for entry in json.load(handle) if "/setup/" in entry["file"] and entry["file"].endswith(".cpp")]
for entry in sources:
    for flag in ("-fstack-protector-strong", "-D_FORTIFY_SOURCE=2"):
        if flag not in entry["command"].split():
            failures.append(f"{entry['file']} compiled without {flag}")
if not sources:
    failures.append("no sources of the program in compile_commands.json")

for failure in failures:
    print("  " + failure)
print(f"hardening of {program}: {'failed' if failures else 'passed'}")
print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
