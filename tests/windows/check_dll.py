#!/usr/bin/python3
"""Checks ZEL_API.dll as a Windows host sees it, from its PE headers (objdump -p).

- its export table is exactly the functions that include/zel_api.h declares, under the DLL name
  ZEL_API.dll, every _8x1 name at the address of its _4x1 name and every other function at an
  address of its own;
- it imports only Windows system DLLs (no MinGW run-time DLL has to travel with it);
- its version resource names the file and carries the project version.

usage: check_dll.py OBJDUMP DLL HEADER VERSION
"""
import re
import subprocess
import sys

# Windows system DLLs a statically linked MinGW-w64 build may import.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ws2_32.dll", "advapi32.dll", "user32.dll", "ntdll.dll", "ucrtbase.dll"}


def header_names(path):
    names = set()
    with open(path, encoding="utf-8") as header:
        for line in header:
            m = re.match(r"\s*ZEL_EXPORT\b[^(]*?\b(\w+)\s*\(", line)
            if m:
                names.add(m.group(1))
    return names


def parse_objdump(text):
    dll_name = None
    rva_by_index = {}
    index_by_name = {}
    imports = []
    section = None
    for line in text.splitlines():
        if line.startswith("Export Address Table --"):
            section = "eat"
            continue
        if line.startswith("[Ordinal/Name Pointer] Table"):
            section = "names"
            continue
        if not line.strip():
            section = None
        m = re.match(r"Name\s+[0-9a-fA-F]+\s+(\S+)$", line)
        if m and dll_name is None:
            dll_name = m.group(1)
        m = re.match(r"\s*DLL Name:\s*(\S+)", line)
        if m:
            imports.append(m.group(1))
        if section == "eat":
            m = re.match(r"\s*\[\s*(\d+)\]\s+\+base\[\s*\d+\]\s+([0-9a-fA-F]+)\s+Export RVA", line)
            if m:
                rva_by_index[int(m.group(1))] = int(m.group(2), 16)
        elif section == "names":
            m = re.match(r"\s*\[\s*(\d+)\]\s+(\S+)$", line)
            if m:
                index_by_name[m.group(2)] = int(m.group(1))
    return dll_name, {n: rva_by_index.get(i) for n, i in index_by_name.items()}, imports


def utf16(text):
    return text.encode("utf-16-le") + b"\0\0"


def version_value(image, key):
    """The value of a StringFileInfo entry: UTF-16 key, padding to 4 bytes, UTF-16 value."""
    at = image.find(utf16(key))
    if at < 0:
        return None
    at += len(utf16(key))
    while image[at:at + 2] == b"\0\0":
        at += 2
    end = at
    while image[end:end + 2] != b"\0\0":
        end += 2
    return image[at:end].decode("utf-16-le")


def main(objdump, dll, header, version):
    problems = []
    expected = header_names(header)
    if len(expected) < 60:
        problems.append(f"only {len(expected)} exported functions found in {header}")
    dump = subprocess.run([objdump, "-p", dll], check=True, capture_output=True, text=True).stdout
    dll_name, exports, imports = parse_objdump(dump)

    if dll_name != "ZEL_API.dll":
        problems.append(f"export directory names the DLL {dll_name!r}, expected 'ZEL_API.dll'")
    missing = sorted(expected - exports.keys())
    extra = sorted(exports.keys() - expected)
    if missing:
        problems.append("not exported: " + ", ".join(missing))
    if extra:
        problems.append("exported but not in the header: " + ", ".join(extra))

    owners = {}
    for name, rva in exports.items():
        if rva is None:
            problems.append(f"{name} has no address")
            continue
        first = name[:-4] + "_4x1" if name.endswith("_8x1") else name
        owners.setdefault(rva, set()).add(first)
    for name in exports:
        if name.endswith("_8x1") and exports[name] != exports.get(name[:-4] + "_4x1"):
            problems.append(f"{name} is not at the address of {name[:-4]}_4x1")
    for rva, functions in owners.items():
        if len(functions) > 1:
            problems.append(f"one address 0x{rva:x} for " + ", ".join(sorted(functions)))

    foreign = sorted(d for d in imports if d.lower() not in SYSTEM_DLLS)
    if foreign:
        problems.append("imports DLLs that are not part of Windows: " + ", ".join(foreign))
    if not imports:
        problems.append("no import table found")

    with open(dll, "rb") as f:
        image = f.read()
    for key, want in (("OriginalFilename", "ZEL_API.dll"), ("FileVersion", version), ("ProductVersion", version)):
        got = version_value(image, key)
        if got != want:
            problems.append(f"version resource {key} is {got!r}, expected {want!r}")

    if problems:
        print(f"{dll}:", *problems, sep="\n  ")
        return 1
    print(f"{dll}: {len(exports)} exports as in the header; imports {', '.join(imports)}")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
