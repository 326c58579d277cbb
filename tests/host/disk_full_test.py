#!/usr/bin/env python3
"""Disk full: the system folder on a filesystem with room for only part of the
payloads. Afterwards every target is absent, its old bytes or its complete
payload, no temporary file is left, and the exit code is 1603; once space is
freed, a second run gives 0 and complete files.

    disk_full_test.py <win32|win64> <wine-run.sh> <orbel_stopwatch.exe> <installer.exe> <payload-dir> <scratch-dir>

Exits with 77 (skipped) when the machine refuses the mount.
"""
import os
import shutil
import subprocess
import sys

from buildtest import FILES, Checks
from wineprefix import Prefix, read

SKIPPED = 77
kind, wine_run, stopwatch_exe, installer, payloads, scratch = sys.argv[1:7]
checks = Checks()
check = checks.check

prefix = Prefix(wine_run, kind, os.path.join(scratch, "prefix"), stopwatch_exe)
folder = prefix.system_folder
payload = {name: read(os.path.join(payloads, prefix.variant, name)) for name in FILES}
# Old versions of some targets, which must survive whole if they are not replaced.
old = {"CorvoX.dll": b"old CorvoX " * 1000, "CorvoGovX.ocx": b"old CorvoGovX " * 1000,
       "kwtCorvoLib.dll": b"old kwtCorvoLib " * 1000}
for name, data in old.items():
    with open(prefix.target(name), "wb") as f:
        f.write(data)

used = int(subprocess.run(["du", "-sb", folder], capture_output=True, text=True, check=True).stdout.split()[0])
room = 20 << 20  # enough for some payloads, not for CorvoGovX's 17 MB on top of the ones before it
original = folder + ".orig"
os.rename(folder, original)
os.mkdir(folder)
mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={used + room}", "tmpfs", folder],
                         capture_output=True, text=True)
if mounted.returncode != 0:
    os.rmdir(folder)
    os.rename(original, folder)
    prefix.remove()
    print(f"SKIPPED: cannot mount a small filesystem over the system folder: {mounted.stderr.strip()}")
    sys.exit(SKIPPED)


def each_target_whole(run):
    states = {}
    for name in FILES:
        path = prefix.target(name)
        if not os.path.exists(path):
            states[name] = "absent"
        elif read(path) == payload[name]:
            states[name] = "complete"
        elif name in old and read(path) == old[name]:
            states[name] = "old"
        else:
            states[name] = f"PARTIAL ({os.path.getsize(path)} bytes)"
    print(f"{run}: " + ", ".join(f"{n} {s}" for n, s in states.items()))
    check(not any(s.startswith("PARTIAL") for s in states.values()), f"{run}: no target is partial")
    check(prefix.leftovers() == [], f"{run}: no temporary file remains {prefix.leftovers()}")
    return states


try:
    subprocess.run(["cp", "-a", original + "/.", folder], check=True)
    free = shutil.disk_usage(folder).free
    print(f"{free:,} bytes free in the system folder for {sum(map(len, payload.values())):,} bytes of payloads")
    code = prefix.run(installer)
    check(code == 1603, f"full disk: exit code 1603 ({code})")
    states = each_target_whole("full disk")
    check(list(states.values()).count("complete") < len(FILES), "full disk: some payloads did not fit")

    prefix.stop()
    subprocess.run(["mount", "-o", f"remount,size={used + (200 << 20)}", folder], check=True)
    code = prefix.run(installer)
    check(code == 0, f"space freed: exit code 0 ({code})")
    states = each_target_whole("space freed")
    check(all(s == "complete" for s in states.values()), "space freed: every file complete")
finally:
    prefix.stop()
    subprocess.run(["umount", folder])
    prefix.remove()
    shutil.rmtree(scratch, ignore_errors=True)
checks.finish()
