"""Both programs may import, statically or delay-loaded, only DLLs that
Windows always takes from the system folder (the KnownDLLs), plus common
controls, which the manifest binds to the system's side-by-side copy. Any
other import would be searched for next to the executable first, where a
planted copy wins.

Reads the import tables of the built executables; needs no Wine.
"""

import os
import re
import shutil
import struct
import subprocess
from pathlib import Path

import pytest

OBJDUMP = "i686-w64-mingw32-objdump"
CC = "i686-w64-mingw32-gcc"
DLLTOOL = "i686-w64-mingw32-dlltool"

# The KnownDLLs of every Windows the tool runs on (7 and later), lower case.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "comdlg32.dll", "gdi32.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll",
    "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll", "ntdll.dll", "ole32.dll", "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll",
    "ws2_32.dll", "difxapi.dll",
}
VIA_MANIFEST = {"comctl32.dll": b"Microsoft.Windows.Common-Controls"}

BUILD = Path(os.environ.get("E2E_BUILD", "/work/main/build/win32"))


def find(name):
    # Skips the launcher's copies of what it carries.
    hits = [h for h in sorted(BUILD.rglob(name))
            if "CMakeFiles" not in h.parts and not any(p.startswith("payload") for p in h.parts)]
    return hits[0] if hits else None


def imports(exe):
    out = subprocess.run([OBJDUMP, "-p", str(exe)], check=True, capture_output=True, text=True).stdout
    return {m.lower() for m in re.findall(r"DLL Name: (\S+)", out)}


class PeImage:
    """A PE file's sections, enough to follow relative addresses."""

    def __init__(self, path):
        self.data = Path(path).read_bytes()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        count, optional_size = struct.unpack_from("<2xH12xH", self.data, pe + 4)
        optional = pe + 24
        pe32_plus = struct.unpack_from("<H", self.data, optional)[0] == 0x20B
        directories = optional + (112 if pe32_plus else 96)
        self.delay_directory = struct.unpack_from("<II", self.data, directories + 13 * 8)  # address, size
        table = optional + optional_size
        # (virtual size, address, raw size, raw offset) per section
        self.sections = [struct.unpack_from("<8xIIII", self.data, table + 40 * i) for i in range(count)]

    def mapped(self, rva):
        return any(va <= rva < va + max(vsize, raw_size) for vsize, va, raw_size, _ in self.sections)

    def offset(self, rva):
        for _, va, raw_size, raw in self.sections:
            if va <= rva < va + raw_size:
                return raw + rva - va
        return None

    def dll_name(self, rva):
        at = self.offset(rva)
        if at is None:
            return None
        name = self.data[at:self.data.find(b"\0", at, at + 260)].decode("latin-1").lower()
        return name if re.fullmatch(r"[\w.\-]+\.dll", name) else None


def delay_imports(exe):
    """The DLLs named by the delay-load descriptors (attributes, DLL name,
    module handle, address table, name table, ...: 32 bytes). The directory
    entry points at them; the GNU linker of this tool chain leaves that entry
    empty, so records of that shape are looked for everywhere as well."""
    image = PeImage(exe)
    names = set()
    rva, size = image.delay_directory
    start = image.offset(rva) if rva else None
    for at in range(start, min(start + size, len(image.data)) - 31, 32) if start is not None else ():
        name_rva = struct.unpack_from("<I", image.data, at + 4)[0]
        if name_rva == 0:
            break
        names.add(image.dll_name(name_rva) or f"unreadable name at {name_rva:#x}")
    for found in re.finditer(rb"\x01\0\0\0", image.data):
        at = found.start()
        if at % 4 or at + 32 > len(image.data):
            continue
        name_rva, handle, iat, int_ = struct.unpack_from("<4I", image.data, at + 4)
        if all(image.mapped(rva) for rva in (handle, iat, int_)) and (name := image.dll_name(name_rva)):
            names.add(name)
    return names


@pytest.mark.skipif(shutil.which(OBJDUMP) is None, reason="no MinGW objdump")
@pytest.mark.parametrize("name", ["Lanzo.exe", "Renovo.exe"])
def test_only_system_folder_dlls_are_imported(name):
    exe = find(name)
    if exe is None:
        pytest.skip(f"{name} is not built in {BUILD}")
    found = imports(exe)
    assert "kernel32.dll" in found, "import table not read"
    found |= delay_imports(exe)
    body = exe.read_bytes()
    bad = set()
    for dll in found - KNOWN_DLLS:
        marker = VIA_MANIFEST.get(dll)
        if marker is None or marker not in body:
            bad.add(dll)
    assert not bad, f"{name} imports DLLs that a planted copy could replace: {sorted(bad)}"


@pytest.mark.skipif(not all(shutil.which(tool) for tool in (CC, DLLTOOL)), reason="no MinGW tool chain")
def test_a_delay_loaded_dll_is_seen(tmp_path):
    """What this tool chain makes of a delay-loaded DLL is found."""
    (tmp_path / "planted.def").write_text("LIBRARY Planted.dll\nEXPORTS\nPing\n")
    (tmp_path / "main.c").write_text("int Ping(void);\nint main(void) { return Ping(); }\n")
    subprocess.run([DLLTOOL, "-d", "planted.def", "-y", "libplanted.a"], cwd=tmp_path, check=True)
    subprocess.run([CC, "main.c", "-L.", "-lplanted", "-o", "main.exe"], cwd=tmp_path, check=True)
    assert delay_imports(tmp_path / "main.exe") == {"planted.dll"}
