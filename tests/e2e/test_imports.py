"""Both programs may import statically only DLLs that Windows always takes
from the system folder (the KnownDLLs), plus common controls, which the
manifest binds to the system's side-by-side copy. Any other import would
be searched for next to the executable first, where a planted copy wins.

Reads the import tables of the built executables; needs no Wine.
"""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

OBJDUMP = "i686-w64-mingw32-objdump"

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


@pytest.mark.skipif(shutil.which(OBJDUMP) is None, reason="no MinGW objdump")
@pytest.mark.parametrize("name", ["Lanzo.exe", "Renovo.exe"])
def test_only_system_folder_dlls_are_imported(name):
    exe = find(name)
    if exe is None:
        pytest.skip(f"{name} is not built in {BUILD}")
    found = imports(exe)
    assert "kernel32.dll" in found, "import table not read"
    body = exe.read_bytes()
    bad = set()
    for dll in found - KNOWN_DLLS:
        marker = VIA_MANIFEST.get(dll)
        if marker is None or marker not in body:
            bad.add(dll)
    assert not bad, f"{name} imports DLLs that a planted copy could replace: {sorted(bad)}"
