#!/usr/bin/env python3
"""Static check of a built LumvexInstaller.exe: PE header fields, imported DLLs (and, for the
shipped PE32, every imported function against a reviewed list), icons, manifest and version
block. Usage: check_pe.py EXE (pe32|pe32plus)"""
import os
import struct
import sys
import xml.etree.ElementTree as ET

# Known DLLs only: Windows never looks for these beside the program. Everything else
# (WinHTTP, the common controls) is loaded by full path from the system folder.
KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "msvcrt.dll"}
CHINESE_PRC = 0x0804
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


class Image:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0", "no PE signature"
        self.machine, sections, _, _, _, optional_size, self.characteristics = struct.unpack_from("<HHIIIHH", data, pe + 4)
        self.optional = pe + 24
        self.magic = struct.unpack_from("<H", data, self.optional)[0]
        plus = self.magic == 0x20B
        (self.os_major, self.os_minor, _, _, self.subsystem_major, self.subsystem_minor) = struct.unpack_from("<6H", data, self.optional + 40)
        self.subsystem = struct.unpack_from("<H", data, self.optional + 68)[0]
        directories = self.optional + (112 if plus else 96)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)]
        table = self.optional + optional_size
        self.sections = [struct.unpack_from("<8sIIII", data, table + 40 * i) for i in range(sections)]
        self.plus = plus

    def offset(self, rva):
        for _, virtual_size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return rva - address + raw
        raise ValueError("rva %x outside every section" % rva)

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        result = {}
        rva = self.directories[1][0]
        while True:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if name == 0:
                return result
            functions = []
            entry = self.offset(lookup or thunks)
            size, flag = (8, 1 << 63) if self.plus else (4, 1 << 31)
            while True:
                value = int.from_bytes(self.data[entry:entry + size], "little")
                if value == 0:
                    break
                functions.append("#%d" % (value & 0xFFFF) if value & flag else self.cstring(value + 2))
                entry += size
            result[self.cstring(name).lower()] = functions
            rva += 20

    def resources(self):
        """(type, id, language) -> bytes"""
        base_rva = self.directories[2][0]
        base = self.offset(base_rva)
        found = {}

        def walk(offset, path):
            named, ids = struct.unpack_from("<HH", self.data, base + offset + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data, base + offset + 16 + 8 * i)
                if target & 0x80000000:
                    walk(target & 0x7FFFFFFF, path + [key])
                else:
                    rva, size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(rva)
                    found[tuple(path + [key])] = self.data[start:start + size]

        walk(0, [])
        return found


def version_strings(block):
    """Walks a VS_VERSIONINFO tree: returns (fixed info, {path: value})."""
    values = {}
    fixed = None

    def node(offset, path):
        nonlocal fixed
        length, value_length, kind = struct.unpack_from("<HHH", block, offset)
        end = offset + length
        key_end = offset + 6
        while block[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = block[offset + 6:key_end].decode("utf-16-le")
        value_at = (key_end + 2 + 3) & ~3
        if key == "VS_VERSION_INFO":
            fixed = struct.unpack_from("<13I", block, value_at)
        elif value_length and kind == 1:
            values["/".join(path + [key])] = block[value_at:value_at + 2 * value_length].decode("utf-16-le").rstrip("\0")
        elif value_length:
            values["/".join(path + [key])] = block[value_at:value_at + value_length]
        child = (value_at + (value_length * (2 if kind == 1 else 1)) + 3) & ~3
        while child < end:
            child = node(child, path + [key])
        return (end + 3) & ~3

    node(0, [])
    return fixed, values


def main(path, kind):
    image = Image(open(path, "rb").read())
    if kind == "pe32":
        check(image.magic == 0x10B and image.machine == 0x14C, "PE32 for i386")
        check((image.subsystem_major, image.subsystem_minor) == (5, 1), "subsystem version 5.01")
    else:
        check(image.magic == 0x20B and image.machine == 0x8664, "PE32+ for x86-64")
        check((image.subsystem_major, image.subsystem_minor) == (5, 2), "subsystem version 5.02")
    check(image.subsystem == 2, "GUI subsystem")
    check(image.os_major <= 5, "operating system version at most 5")

    imports = image.imports()
    check(set(imports) <= KNOWN_DLLS, "imports only known DLLs, got %s" % sorted(imports))
    if kind == "pe32":
        reviewed = set()
        for line in open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "pe32-imports.txt")):
            if line.strip() and not line.startswith("#"):
                reviewed.add(line.strip())
        actual = {"%s %s" % (dll, function) for dll, functions in imports.items() for function in functions}
        check(not actual - reviewed, "imports not yet checked against XP: %s" % sorted(actual - reviewed))
        check(not reviewed - actual, "reviewed imports no longer used (remove them): %s" % sorted(reviewed - actual))

    resources = image.resources()
    groups = [key for key in resources if key[0] == RT_GROUP_ICON]
    check(groups == [(RT_GROUP_ICON, 103, CHINESE_PRC)], "one icon group 103 in Chinese (PRC), got %s" % groups)
    if groups:
        group = resources[groups[0]]
        count = struct.unpack_from("<H", group, 4)[0]
        entries = [struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i) for i in range(count)]
        sizes = sorted((e[0] or 256, e[1] or 256, e[5]) for e in entries)
        check(sizes == [(16, 16, 32), (32, 32, 32), (64, 64, 32)], "icons 64, 32 and 16 at 32 bits, got %s" % sizes)
        for entry in entries:
            image_data = resources.get((RT_ICON, entry[7], CHINESE_PRC))
            check(image_data is not None and struct.unpack_from("<H", image_data, 14)[0] == 32,
                  "icon image %d present, Chinese (PRC), 32 bits" % entry[7])

    manifests = [key for key in resources if key[0] == RT_MANIFEST]
    check([key[1] for key in manifests] == [1], "one manifest, resource 1")
    if manifests:
        text = resources[manifests[0]].decode("utf-8")
        root = ET.fromstring(text)
        levels = [e for e in root.iter() if e.tag.endswith("requestedExecutionLevel")]
        check(len(levels) == 1 and levels[0].get("level") == "asInvoker" and levels[0].get("uiAccess") == "false",
              "asInvoker, uiAccess false")
        tags = {e.tag.split("}")[-1] for e in root.iter()}
        check(tags == {"assembly", "trustInfo", "security", "requestedPrivileges", "requestedExecutionLevel"},
              "nothing but the execution level in the manifest, got %s" % sorted(tags))

    versions = [key for key in resources if key[0] == RT_VERSION]
    check(versions == [(RT_VERSION, 1, CHINESE_PRC)], "one version block in Chinese (PRC), got %s" % versions)
    if versions:
        fixed, values = version_strings(resources[versions[0]])
        check(fixed[2:6] == (0x00010000, 0x00020000, 0x00010000, 0x00020000), "file and product version 1.0.2.0")
        check(fixed[8] == 0x40004 and fixed[9] == 1, "32-bit Windows NT application")
        prefix = "VS_VERSION_INFO/StringFileInfo/080404b0/"
        expected = {
            "CompanyName": "Lumvex游戏",
            "FileDescription": "Lumvex客户端安装程序下载引导",
            "ProductName": "Lumvex客户端安装程序下载引导",
            "FileVersion": "1.0.2.0",
            "ProductVersion": "1.0.2.0",
        }
        for name, value in expected.items():
            check(values.get(prefix + name) == value, "%s is %r, got %r" % (name, value, values.get(prefix + name)))
        check(values.get("VS_VERSION_INFO/VarFileInfo/Translation") == struct.pack("<HH", 0x0804, 1200),
              "translation 0x0804, 1200")

    for failure in failures:
        print("FAILED:", failure)
    print("%s: %d checks failed" % (path, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
