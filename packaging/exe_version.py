#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""exe_version.py EXE VERSION DESCRIPTION NAME COPYRIGHT: fails unless EXE's
version resource shows the project it was built from."""
import sys

import pefile


def split_version(most, least):
    return [most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF]


def main(exe, version, description, name, copyright_line):
    pe = pefile.PE(exe)
    strings = {}
    for info in getattr(pe, "FileInfo", [[]])[0]:
        for table in getattr(info, "StringTable", []):
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    numbers = [int(n) for n in version.split(".")] + [0]
    fixed = getattr(pe, "VS_FIXEDFILEINFO", [None])[0]
    found = {
        "FileVersion": strings.get("FileVersion"),
        "ProductVersion": strings.get("ProductVersion"),
        "FileDescription": strings.get("FileDescription"),
        "ProductName": strings.get("ProductName"),
        "LegalCopyright": strings.get("LegalCopyright"),
        "OriginalFilename": strings.get("OriginalFilename"),
        # Explorer and installers compare these numbers, not the strings.
        "fixed file version": fixed and split_version(fixed.FileVersionMS, fixed.FileVersionLS),
        "fixed product version":
            fixed and split_version(fixed.ProductVersionMS, fixed.ProductVersionLS),
    }
    expected = {
        "FileVersion": version,
        "ProductVersion": version,
        "FileDescription": description,
        "ProductName": name,
        "LegalCopyright": copyright_line,
        "OriginalFilename": name + ".exe",
        "fixed file version": numbers,
        "fixed product version": numbers,
    }
    wrong = [f"{key}: {found[key]!r} instead of {want!r}"
             for key, want in expected.items() if found[key] != want]
    for line in wrong:
        print(f"{exe}: {line}", file=sys.stderr)
    return 1 if wrong else 0


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
