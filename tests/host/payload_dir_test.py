#!/usr/bin/env python3
"""Building from a release engineer's payload folder: the configure step names
every missing or unreadable payload file and stops; a complete folder builds an
installer carrying those files; changing one payload file rebuilds it.

    payload_dir_test.py <source-dir> <demo-payload-dir> <scratch-dir>
"""
import os
import shutil
import sys

from buildtest import Checks, build, configure, copy_payloads, sha256

source, demo, scratch = sys.argv[1:4]
checks = Checks()
check = checks.check

shutil.rmtree(scratch, ignore_errors=True)
payloads = copy_payloads(demo, os.path.join(scratch, "payloads"))

# Two files missing and one a folder: all three named, and the configure step fails.
os.remove(os.path.join(payloads, "32", "midas.dll"))
os.remove(os.path.join(payloads, "64", "CorvoX.dll"))
os.remove(os.path.join(payloads, "64", "msxml6r.dll"))
os.mkdir(os.path.join(payloads, "64", "msxml6r.dll"))
result = configure(source, os.path.join(scratch, "broken"), payloads)
check(result.returncode != 0, "configure fails when payload files are missing")
for missing in ("32/midas.dll", "64/CorvoX.dll", "64/msxml6r.dll"):
    check(os.path.join(payloads, missing) in result.stderr, "the error names " + missing)
check("32/CorvoX.dll" not in result.stderr, "the error names only what is missing")

# Complete: it configures and builds.
os.rmdir(os.path.join(payloads, "64", "msxml6r.dll"))
for missing in ("32/midas.dll", "64/CorvoX.dll", "64/msxml6r.dll"):
    shutil.copy(os.path.join(demo, missing), os.path.join(payloads, missing))
build_dir = os.path.join(scratch, "build")
result = configure(source, build_dir, payloads)
check(result.returncode == 0, "configure succeeds with all 22 files" + ("" if result.returncode == 0 else ":\n" + result.stderr))
exe = os.path.join(build_dir, "setup_orbel.exe")
if result.returncode == 0:
    built = build(build_dir)
    check(built.returncode == 0, "the installer builds from the payload folder")
    before = sha256(exe)
    with open(os.path.join(payloads, "64", "kwtCorvoLib.dll"), "ab") as f:
        f.write(b"one more byte")
    built = build(build_dir)
    check(built.returncode == 0 and sha256(exe) != before, "changing a payload file rebuilds the installer")
    with open(exe, "rb") as f:
        check(f.read().count(b"one more byte") == 1, "the rebuilt installer carries the changed payload")

shutil.rmtree(scratch, ignore_errors=True)
checks.finish()
