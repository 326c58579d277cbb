#!/usr/bin/env python3
"""Building from a release engineer's payload folder: the configure step names
every missing or unreadable payload file and stops; a complete folder builds an
installer carrying those files; changing one payload file rebuilds it.

    payload_dir_test.py <source-dir> <demo-payload-dir> <scratch-dir>
"""
import hashlib
import os
import shutil
import subprocess
import sys

source, demo, scratch = sys.argv[1:4]
FILES = ["CorvoX.dll", "CorvoDataSetX.dll", "msxml6.dll", "CorvoGovX.ocx", "midas.dll", "stdvcl40.dll",
         "ssleay32.dll", "libeay32.dll", "msxml6r.dll", "kwtCorvoLibUNICODE.dll", "kwtCorvoLib.dll"]
failures = []


def check(condition, message):
    print(("ok   " if condition else "FAIL ") + message)
    if not condition:
        failures.append(message)


def configure(payloads, build):
    return subprocess.run(
        ["cmake", "-S", source, "-B", build, "-G", "Ninja",
         "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(source, "cmake/toolchain-mingw-w64-i686.cmake"),
         "-DORBEL_PAYLOAD_DIR=" + payloads],
        capture_output=True, text=True)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


shutil.rmtree(scratch, ignore_errors=True)
payloads = os.path.join(scratch, "payloads")
for variant in ("32", "64"):
    shutil.copytree(os.path.join(demo, variant), os.path.join(payloads, variant))

# Two files missing and one a folder: all three named, and the configure step fails.
os.remove(os.path.join(payloads, "32", "midas.dll"))
os.remove(os.path.join(payloads, "64", "CorvoX.dll"))
os.remove(os.path.join(payloads, "64", "msxml6r.dll"))
os.mkdir(os.path.join(payloads, "64", "msxml6r.dll"))
result = configure(payloads, os.path.join(scratch, "broken"))
check(result.returncode != 0, "configure fails when payload files are missing")
for missing in ("32/midas.dll", "64/CorvoX.dll", "64/msxml6r.dll"):
    check(os.path.join(payloads, missing) in result.stderr, "the error names " + missing)
check("32/CorvoX.dll" not in result.stderr, "the error names only what is missing")

# Complete: it configures and builds.
os.rmdir(os.path.join(payloads, "64", "msxml6r.dll"))
for missing in ("32/midas.dll", "64/CorvoX.dll", "64/msxml6r.dll"):
    shutil.copy(os.path.join(demo, missing), os.path.join(payloads, missing))
build = os.path.join(scratch, "build")
result = configure(payloads, build)
check(result.returncode == 0, "configure succeeds with all 22 files" + ("" if result.returncode == 0 else ":\n" + result.stderr))
exe = os.path.join(build, "setup_orbel.exe")
if result.returncode == 0:
    built = subprocess.run(["cmake", "--build", build, "--target", "setup_orbel"], capture_output=True, text=True)
    check(built.returncode == 0, "the installer builds from the payload folder")
    before = sha256(exe)
    with open(os.path.join(payloads, "64", "kwtCorvoLib.dll"), "ab") as f:
        f.write(b"one more byte")
    built = subprocess.run(["cmake", "--build", build, "--target", "setup_orbel"], capture_output=True, text=True)
    check(built.returncode == 0 and sha256(exe) != before, "changing a payload file rebuilds the installer")
    with open(exe, "rb") as f:
        check(f.read().count(b"one more byte") == 1, "the rebuilt installer carries the changed payload")

shutil.rmtree(scratch, ignore_errors=True)
print(f"{len(failures)} failed" if failures else "all checks passed")
sys.exit(1 if failures else 0)
