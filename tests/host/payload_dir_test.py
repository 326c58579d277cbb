#!/usr/bin/env python3
"""Building from a release engineer's payload folder: the configure step names
every missing or unreadable payload file and stops at once, a FIFO included; a
complete folder builds an installer carrying those files, whatever characters
its path holds; changing one payload file rebuilds it.

    payload_dir_test.py <source-dir> <demo-payload-dir> <scratch-dir>
"""
import os
import shutil
import subprocess
import sys
import time

from buildtest import Checks, build, configure, copy_payloads, sha256

source, demo, scratch = sys.argv[1:4]
checks = Checks()
check = checks.check

shutil.rmtree(scratch, ignore_errors=True)
# CMake's own syntax in the folder's path: a list separator and a variable reference.
payloads = copy_payloads(demo, os.path.join(scratch, "pay@PROJECT_NAME@;loads"))

# Two files missing, one a folder, one a FIFO (reading it would wait for ever)
# and one a link to itself: all five named, and the configure step fails at once.
os.remove(os.path.join(payloads, "32", "midas.dll"))
os.remove(os.path.join(payloads, "64", "CorvoX.dll"))
os.remove(os.path.join(payloads, "64", "msxml6r.dll"))
os.mkdir(os.path.join(payloads, "64", "msxml6r.dll"))
os.remove(os.path.join(payloads, "32", "ssleay32.dll"))
os.mkfifo(os.path.join(payloads, "32", "ssleay32.dll"))
os.remove(os.path.join(payloads, "64", "libeay32.dll"))
os.symlink("libeay32.dll", os.path.join(payloads, "64", "libeay32.dll"))
started = time.monotonic()
try:
    result = configure(source, os.path.join(scratch, "broken"), payloads, timeout=120)
except subprocess.TimeoutExpired:
    check(False, "configure ends within 120 s, with a FIFO among the payloads")
    checks.finish()
check(result.returncode != 0, f"configure fails when payload files cannot be read, in {time.monotonic() - started:.1f} s")
for problem, path in (("missing", "32/midas.dll"), ("missing", "64/CorvoX.dll"),
                      ("not a regular file (a directory)", "64/msxml6r.dll"),
                      ("not a regular file (a FIFO)", "32/ssleay32.dll"),
                      ("unreadable (Too many levels of symbolic links)", "64/libeay32.dll")):
    check(f"{problem}: {os.path.join(payloads, path)}" in result.stderr, f"the error names {path}: {problem}")
check("32/CorvoX.dll" not in result.stderr, "the error names only what cannot be read")
for unusable in ("32/ssleay32.dll", "64/libeay32.dll"):
    os.remove(os.path.join(payloads, unusable))
    shutil.copy(os.path.join(demo, unusable), os.path.join(payloads, unusable))

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
    with open(os.path.join(build_dir, "setup_orbel.payloads.txt"), encoding="utf-8") as f:
        check(f.read().count(f" {payloads}/") == 22, "the table names each payload by its path, unchanged")
    before = sha256(exe)
    with open(os.path.join(payloads, "64", "kwtCorvoLib.dll"), "ab") as f:
        f.write(b"one more byte")
    built = build(build_dir)
    check(built.returncode == 0 and sha256(exe) != before, "changing a payload file rebuilds the installer")
    with open(exe, "rb") as f:
        check(f.read().count(b"one more byte") == 1, "the rebuilt installer carries the changed payload")

shutil.rmtree(scratch, ignore_errors=True)
checks.finish()
