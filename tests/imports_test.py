#!/usr/bin/python3
"""The built programs import Windows system DLLs only, so nothing is looked
up beside a downloaded setup file before the program's first instruction.

Arguments: the executables to check.
"""
import sys

import pefile

SYSTEM = {"advapi32.dll", "comctl32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll",
          "ole32.dll", "oleaut32.dll", "shell32.dll", "user32.dll"}

failed = 0
for path in sys.argv[1:]:
    image = pefile.PE(path, fast_load=True)
    image.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
                                              pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]])
    names = {entry.dll.decode().lower() for entry in getattr(image, "DIRECTORY_ENTRY_IMPORT", [])}
    delayed = {entry.dll.decode().lower() for entry in getattr(image, "DIRECTORY_ENTRY_DELAY_IMPORT", [])}
    foreign = sorted((names | delayed) - SYSTEM)
    print(f"{path}: imports {', '.join(sorted(names))}; delay imports {', '.join(sorted(delayed)) or 'none'}")
    if foreign or delayed:
        print(f"  not allowed: {', '.join(foreign + sorted(delayed))}")
        failed += 1
print(f"{len(sys.argv) - 1 - failed} passed, {failed} failed")
sys.exit(1 if failed else 0)
