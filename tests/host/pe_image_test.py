#!/usr/bin/env python3
"""The PE headers of the built installer: a 32-bit x86 GUI program with ASLR,
DEP and terminal-server awareness, no link timestamp, and an import table that
names only DLLs on Windows' KnownDLLs list.

    pe_image_test.py <setup_orbel.exe> <payload-dir>

It also holds the executable to its size: no more than the distinct payload
images plus 128 KiB for the stub, manifest, version block and icon.
"""
import hashlib
import os
import sys

import pefile

from buildtest import Checks

# HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs on Windows 10.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll", "difxapi.dll", "gdi32.dll",
    "gdiplus.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll",
    "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll",
    "shcore.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll",
}

checks = Checks()
check = checks.check
exe, payloads = sys.argv[1:3]
image = pefile.PE(exe)
check(image.FILE_HEADER.Machine == 0x14C, "machine i386")
check(image.OPTIONAL_HEADER.Magic == 0x10B, "PE32")
check(image.OPTIONAL_HEADER.Subsystem == 2, "GUI subsystem")
flags = image.OPTIONAL_HEADER.DllCharacteristics
check(flags & 0x0040, "DYNAMIC_BASE")
check(flags & 0x0100, "NX_COMPAT")
check(flags & 0x8000, "TERMINAL_SERVER_AWARE")
check(image.FILE_HEADER.TimeDateStamp == 0, "no link timestamp")
check(image.FILE_HEADER.Characteristics & 0x0002 and not image.FILE_HEADER.Characteristics & 0x2000,
      "an executable, not a DLL")
imports = sorted(entry.dll.decode().lower() for entry in image.DIRECTORY_ENTRY_IMPORT)
check(bool(imports) and set(imports) <= KNOWN_DLLS, f"imports only KnownDLLs: {', '.join(imports)}")
check(not hasattr(image, "DIRECTORY_ENTRY_DELAY_IMPORT"), "no delay-loaded DLLs")
# Page-aligned sections can be mapped from the file as they are, not copied into private memory.
check(image.OPTIONAL_HEADER.FileAlignment == 0x1000, f"file alignment 4096 ({image.OPTIONAL_HEADER.FileAlignment})")
check(all(section.PointerToRawData % 0x1000 == 0 for section in image.sections), "every section starts on a page")

distinct = {}
for variant in ("32", "64"):
    for name in os.listdir(os.path.join(payloads, variant)):
        with open(os.path.join(payloads, variant, name), "rb") as f:
            data = f.read()
        distinct[hashlib.sha256(data).digest()] = len(data)
overhead = os.path.getsize(exe) - sum(distinct.values())
check(overhead <= 128 * 1024, f"stub, manifest, version block and icon take {overhead:,} bytes, at most 131,072")
checks.finish()
