"""The built executables as files; needs no Wine.

Both programs may import, statically or delay-loaded, only DLLs that
Windows always takes from the system folder (the KnownDLLs), plus common
controls, which the manifest binds to the system's side-by-side copy. Any
other import would be searched for next to the executable first, where a
planted copy wins.

The programs the tests run are the ones delivered: small, without debug
sections or time stamps, each launcher build carrying exactly the payloads
and digests it was built with. When CI has made a signed release
(E2E_RELEASE_DIST, with the throwaway certificate in E2E_RELEASE_CA), its
signatures, digests and guide are checked as well.
"""

import base64
import hashlib
import os
import re
import shutil
import struct
import subprocess
import zlib
from pathlib import Path

import pytest

from wine import pe_machine

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
PE_MACHINE_I386 = 0x14C
VIA_MANIFEST = {"comctl32.dll": b"Microsoft.Windows.Common-Controls"}

# Always the shipped 32-bit build, also where the other tests run its 64-bit twin.
BUILD = Path(os.environ.get("E2E_SHIPPED_BUILD") or os.environ.get("E2E_BUILD", "/work/main/build/win32"))
RELEASE_DIST = os.environ.get("E2E_RELEASE_DIST")


def find(name):
    # Skips the launcher's copies of what it carries.
    hits = [h for h in sorted(BUILD.rglob(name))
            if "CMakeFiles" not in h.parts and not any(p.startswith("payload") for p in h.parts)]
    return hits[0] if hits else None


def built(name):
    exe = find(name)
    if exe is None:
        pytest.skip(f"{name} is not built in {BUILD}")
    assert pe_machine(exe) == PE_MACHINE_I386, f"{exe} is not the shipped 32-bit build (set E2E_SHIPPED_BUILD)"
    return exe


def imports(exe):
    out = subprocess.run([OBJDUMP, "-p", str(exe)], check=True, capture_output=True, text=True).stdout
    return {m.lower() for m in re.findall(r"DLL Name: (\S+)", out)}


class PeImage:
    """A PE file's header, sections and resources, enough to follow relative
    addresses."""

    def __init__(self, path):
        self.data = Path(path).read_bytes()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        count, self.timestamp, symbols, nsymbols, optional_size = struct.unpack_from("<2xHIIIH", self.data, pe + 4)
        optional = pe + 24
        pe32_plus = struct.unpack_from("<H", self.data, optional)[0] == 0x20B
        directories = optional + (112 if pe32_plus else 96)
        self.resource_directory = struct.unpack_from("<II", self.data, directories + 2 * 8)  # address, size
        self.delay_directory = struct.unpack_from("<II", self.data, directories + 13 * 8)
        table = optional + optional_size
        # (virtual size, address, raw size, raw offset) per section
        self.sections = [struct.unpack_from("<8xIIII", self.data, table + 40 * i) for i in range(count)]
        strings = symbols + 18 * nsymbols  # where names longer than 8 bytes are
        self.names = []
        for i in range(count):
            name = self.data[table + 40 * i:table + 40 * i + 8].rstrip(b"\0").decode()
            if name.startswith("/"):
                at = strings + int(name[1:])
                name = self.data[at:self.data.index(b"\0", at)].decode()
            self.names.append(name)

    def mapped(self, rva):
        return any(va <= rva < va + max(vsize, raw_size) for vsize, va, raw_size, _ in self.sections)

    def offset(self, rva):
        for _, va, raw_size, raw in self.sections:
            if va <= rva < va + raw_size:
                return raw + rva - va
        return None

    def section(self, name):
        vsize, _, raw_size, raw = self.sections[self.names.index(name)]
        return self.data[raw:raw + min(vsize, raw_size)]

    def dll_name(self, rva):
        at = self.offset(rva)
        if at is None:
            return None
        name = self.data[at:self.data.find(b"\0", at, at + 260)].decode("latin-1").lower()
        return name if re.fullmatch(r"[\w.\-]+\.dll", name) else None

    def resources(self):
        """{(type, name, language): bytes}, string types and names as str;
        the time stamps of all resource directories in resource_stamps."""
        base = self.offset(self.resource_directory[0])
        self.resource_stamps, out = [], {}

        def label(entry):
            if entry & 0x80000000:
                at = base + (entry & 0x7FFFFFFF)
                n = struct.unpack_from("<H", self.data, at)[0]
                return self.data[at + 2:at + 2 + 2 * n].decode("utf-16-le")
            return entry

        def walk(offset, path):
            self.resource_stamps.append(struct.unpack_from("<I", self.data, base + offset + 4)[0])
            named, ids = struct.unpack_from("<HH", self.data, base + offset + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, base + offset + 16 + 8 * i)
                if target & 0x80000000:
                    walk(target & 0x7FFFFFFF, path + (label(name),))
                else:
                    data_rva, size = struct.unpack_from("<II", self.data, base + target)
                    out[path + (label(name),)] = self.data[self.offset(data_rva):self.offset(data_rva) + size]

        walk(0, ())
        return out


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
    exe = built(name)
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


# ---------------------------------------------------------------------------
# What the files carry and the form they ship in


def payload_file(name):
    return BUILD / "launcher" / "payload" / name


def spoiled(digest):
    """The wrong digest that a SPOIL build records: the last hex digit changed."""
    hexd = digest.hex()
    return bytes.fromhex(hexd[:-1] + ("1" if hexd[-1] == "0" else "0"))


# What each launcher build was made to carry, in the order FIRMWARE, SH, SP:
# the file of each resource (None: left out) and the digests it records.
LAUNCHER_BUILDS = {
    "Lanzo.exe": (["updater.bin", "hopper.bin", "payout.bin"], lambda d: d),
    "Lanzo_nosp.exe": (["updater.bin", "hopper.bin", None], lambda d: d),
    "Lanzo_badsh.exe": (["updater.bin", "hopper.bin", "payout.bin"], lambda d: [d[0], spoiled(d[1]), d[2]]),
    "Lanzo_noexe.exe": (["hopper.bin", "hopper.bin", "payout.bin"], lambda d: d),
}


@pytest.mark.parametrize("name", sorted(LAUNCHER_BUILDS))
def test_launcher_build_carries_what_it_was_built_with(name):
    exe = built(name)
    files, recorded = LAUNCHER_BUILDS[name]
    resources = PeImage(exe).resources()
    digests = []
    for (rtype, rid), file in zip([("FIRMWARE", 104), ("SH", 105), ("SP", 106)], files):
        carried = resources.get((rtype, rid, 3082))
        if file is None:
            assert carried is None and not any(k[:2] == (rtype, rid) for k in resources), f"{name} carries {rtype}"
            digests.append(hashlib.sha256(payload_file("payout.bin").read_bytes()).digest())
            continue
        expected = payload_file(file).read_bytes()
        assert carried is not None, f"{name} lacks {rtype} {rid} in language 3082"
        assert (len(carried), hashlib.sha256(carried).digest()) == (len(expected), hashlib.sha256(expected).digest()), \
            f"{name}: {rtype} is not {file}"
        digests.append(hashlib.sha256(expected).digest())
    assert b"".join(recorded(digests)) in exe.read_bytes(), f"{name} records other digests"


def debuglink(pe):
    """The debug file's name and the checksum recorded for it."""
    link = pe.section(".gnu_debuglink")
    name = link[:link.index(b"\0")].decode()
    crc_at = (len(name) + 1 + 3) & ~3
    return name, struct.unpack_from("<I", link, crc_at)[0]


def payloads_size():
    return sum(payload_file(n).stat().st_size for n in ("updater.bin", "hopper.bin", "payout.bin"))


def version_strings(pe):
    """The string table of the version resource as {key: value}."""
    (block,) = [v for k, v in pe.resources().items() if k[0] == 16]
    text = block.decode("utf-16-le", errors="replace")
    return dict(re.findall(r"(CompanyName|FileDescription|FileVersion|InternalName|OriginalFilename|"
                           r"ProductName|ProductVersion)\0+([^\0]+)", text))


SHIPPED = {
    "Renovo.exe": (lambda: 400_000, {"ProductName": "Renovo", "FileVersion": "1.1", "OriginalFilename": "Renovo.exe"}),
    # Whatever the images, the launcher itself stays small.
    "Lanzo.exe": (lambda: 250_000 + payloads_size(),
                  {"ProductName": "Launcher", "FileVersion": "1.00", "InternalName": "Lanzo",
                   "OriginalFilename": "Lanzo.exe"}),
}


@pytest.mark.parametrize("name", sorted(SHIPPED))
def test_programs_are_in_their_shipped_form(name):
    exe = built(name)
    budget, version = SHIPPED[name]
    pe = PeImage(exe)
    assert exe.stat().st_size <= budget(), f"{name}: {exe.stat().st_size} bytes, budget {budget()}"
    assert not [s for s in pe.names if s.startswith(".debug")], pe.names
    pe.resources()
    assert pe.timestamp == 0 and set(pe.resource_stamps) == {0}, "time stamps in the file"
    link, crc = debuglink(pe)
    symbols = BUILD / "symbols" / link
    assert link == name + ".debug" and zlib.crc32(symbols.read_bytes()) == crc, "debug file does not match"
    for key, value in version.items():
        assert version_strings(pe).get(key) == value, key


# ---------------------------------------------------------------------------
# A signed release (made by scripts/test.sh with a throwaway certificate)


def verify_signature(exe, ca):
    done = subprocess.run(["osslsigncode", "verify", "-CAfile", str(ca), "-in", str(exe)],
                          capture_output=True, text=True)
    assert done.returncode == 0 and "Signature verification: ok" in done.stdout, done.stdout + done.stderr


@pytest.mark.skipif(not RELEASE_DIST, reason="no signed release made (E2E_RELEASE_DIST)")
def test_signed_release_is_whole_and_verifies(tmp_path):
    dist = Path(RELEASE_DIST)
    ca = Path(os.environ["E2E_RELEASE_CA"])
    written = sorted(str(p.relative_to(dist)) for p in dist.rglob("*") if p.is_file())
    assert written == ["GUIDE.html", "Lanzo.exe", "MANIFEST.txt", "SHA256SUMS", "symbols/Lanzo.exe.debug",
                       "symbols/Renovo.exe.debug"]
    sums = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=dist, capture_output=True, text=True)
    assert sums.returncode == 0 and sums.stdout.count(": OK") == 5, sums.stdout + sums.stderr

    # A release of the sample images says so first, in the manifest and the
    # guide, and names the signer it was signed by.
    manifest = (dist / "MANIFEST.txt").read_text(encoding="utf-8").splitlines()
    assert manifest[0].startswith("firmware: SAMPLE IMAGES") and "signed: yes" in manifest, manifest
    assert "signer: CN=Throwaway test signer" in manifest, manifest

    # The updater was signed before it was embedded: the embedded copy
    # carries its own signature, and the launcher's recorded digest is that
    # of the signed file (else the whole update that release.sh ran through
    # the signed launcher would have failed to stage).
    lanzo = PeImage(dist / "Lanzo.exe")
    updater = tmp_path / "Renvx.exe"
    updater.write_bytes(lanzo.resources()[("FIRMWARE", 104, 3082)])
    for exe in (dist / "Lanzo.exe", updater):
        verify_signature(exe, ca)
    assert hashlib.sha256(updater.read_bytes()).digest() in lanzo.data
    for exe, link in ((dist / "Lanzo.exe", "Lanzo.exe.debug"), (updater, "Renovo.exe.debug")):
        name, crc = debuglink(PeImage(exe))
        assert name == link and zlib.crc32((dist / "symbols" / name).read_bytes()) == crc

    # One file that opens anywhere: every picture inside it, nothing fetched.
    guide = (dist / "GUIDE.html").read_text(encoding="utf-8")
    sources = re.findall(r'(?:src|href)="([^"]*)"', guide)
    assert sources and all(s.startswith("data:image/png;base64,") or s.startswith("#") for s in sources), sources
    for s in sources:
        if s.startswith("data:"):
            assert base64.b64decode(s.split(",", 1)[1]).startswith(b"\x89PNG")
    assert "Updating ..." in guide
    assert guide.index("SAMPLE FIRMWARE IMAGES") < guide.index("<h1>")
