#!/usr/bin/env python3
"""The boot program inside a signed installer is signed with the same key: its
SETUP_ORBEL_BOOT resource, taken out as the installer writes it, verifies
against the signer's certificate.

    boot_signature_test.py <setup_orbel.exe> <signer.pem> <scratch-dir>
"""
import os
import subprocess
import sys

import pefile

installer, certificate, scratch = sys.argv[1:4]
image = pefile.PE(installer)
found = []
for kind in image.DIRECTORY_ENTRY_RESOURCE.entries:
    if kind.id != 10:  # RT_RCDATA
        continue
    for named in kind.directory.entries:
        if named.name is not None and str(named.name) == "SETUP_ORBEL_BOOT":
            found.extend(language.data for language in named.directory.entries)
if len(found) != 1:
    sys.exit(f"{installer}: {len(found)} SETUP_ORBEL_BOOT resources, not one")
data = image.get_data(found[0].struct.OffsetToData, found[0].struct.Size)
os.makedirs(scratch, exist_ok=True)
program = os.path.join(scratch, "setup_orbel_boot.exe")
with open(program, "wb") as f:
    f.write(data)
result = subprocess.run(["osslsigncode", "verify", "-CAfile", certificate, "-in", program],
                        capture_output=True, text=True)
print(result.stdout[-2000:], result.stderr[-2000:])
if result.returncode != 0 or "Signature verification: ok" not in result.stdout:
    sys.exit(f"the boot program inside {installer} does not verify")
print(f"the boot program inside {os.path.basename(installer)} ({len(data)} bytes) verifies")
