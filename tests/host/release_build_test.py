#!/usr/bin/env python3
"""What the release build does for a release engineer, one case per run:

    release_build_test.py <case> <source-dir> <demo-payload-dir> <scratch-dir>

reproducible  the same sources and payloads give the same bytes in any build folder
table         the payload table beside the executable names every payload truly
warnings      payloads that cannot work where they land are warned about, not refused
checks        plain libraries that are no complete DLL are warned about; ORBEL_STRICT_PAYLOADS refuses them
too-large     payloads a 32-bit image cannot hold stop the build with a clear message
signing       the signing cache variables sign the executable and the boot program it carries,
              keeping the password off command lines
"""
import os
import shutil
import struct
import subprocess
import sys

from buildtest import FILES, SERVERS, Checks, build, configure, copy_payloads, sha256

case, source, demo, scratch = sys.argv[1:5]
checks = Checks()
check = checks.check
shutil.rmtree(scratch, ignore_errors=True)
os.makedirs(scratch)
payloads = copy_payloads(demo, os.path.join(scratch, "payloads"))


def configured_build(name, *options):
    build_dir = os.path.join(scratch, name)
    result = configure(source, build_dir, payloads, *options)
    if not check(result.returncode == 0, f"configure {name}" + ("" if result.returncode == 0 else ":\n" + result.stderr)):
        checks.finish()
    return build_dir


def x86_64_image():
    """The headers of an x86-64 DLL: enough for anything that reads the machine type."""
    image = bytearray(1024)
    image[0:2] = b"MZ"
    struct.pack_into("<I", image, 0x3C, 0x40)
    image[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", image, 0x44, 0x8664, 0, 0, 0, 0, 240, 0x2022)
    struct.pack_into("<H", image, 0x58, 0x20B)
    struct.pack_into("<I", image, 0x58 + 108, 16)
    return bytes(image)


if case == "reproducible":
    first = configured_build("first")
    second = configured_build(os.path.join("a much", "deeper", "second build"))
    for build_dir in (first, second):
        check(build(build_dir).returncode == 0, "build in " + build_dir)
    a, b = (os.path.join(d, "setup_orbel.exe") for d in (first, second))
    check(sha256(a) == sha256(b), f"both folders give the same executable ({sha256(a)[:16]}...)")
    with open(a, "rb") as f:
        image = f.read()
    for path in (source, scratch, first, payloads, "/usr/"):
        for encoding in ("utf-8", "utf-16-le"):
            check(path.encode(encoding) not in image, f"no {path!r} ({encoding}) in the image")

elif case == "table":
    build_dir = configured_build("build")
    built = build(build_dir)
    check(built.returncode == 0, "build")
    with open(os.path.join(build_dir, "setup_orbel.payloads.txt"), encoding="utf-8") as f:
        table = f.read().splitlines()
    check("resource" in built.stdout and "sha256" in built.stdout, "the build prints the table")
    rows = {line.split()[0]: line.split() for line in table[1:] if line.startswith(("32_", "64_"))}
    check(len(rows) == 22, f"22 payload rows ({len(rows)})")
    for file in FILES:
        for variant in ("32", "64"):
            name = f"{variant}_{os.path.splitext(file)[0]}".upper()
            path = os.path.join(payloads, variant, file)
            row = rows.get(name, [""] * 6)
            check(row[1:3] == [str(os.path.getsize(path)), sha256(path)] and row[5] == path,
                  f"{name}: size, SHA-256 and source file")
            check(row[3] == "i386" and row[4] == ("yes" if file in SERVERS else "no"),
                  f"{name}: machine and DllRegisterServer")
    check(not any(line.startswith("warning") for line in table), "no warnings for the demo payloads")

elif case == "warnings":
    # A plain library where a server belongs, and an x86-64 image.
    shutil.copy(os.path.join(demo, "32", "kwtCorvoLib.dll"), os.path.join(payloads, "32", "midas.dll"))
    with open(os.path.join(payloads, "64", "ssleay32.dll"), "wb") as f:
        f.write(x86_64_image())
    # The first server importing a later row's library and one that exists nowhere (names of equal length).
    corvo = os.path.join(payloads, "32", "CorvoX.dll")
    with open(corvo, "rb") as f:
        image = f.read()
    for old, new in ((b"OLEAUT32.dll\0", b"libeay32.dll\0"), (b"USER32.dll\0", b"absent.dll\0")):
        check(image.count(old) == 1, f"CorvoX imports {old[:-1].decode()} once")
        image = image.replace(old, new)
    with open(corvo, "wb") as f:
        f.write(image)
    build_dir = configured_build("build")
    built = build(build_dir)
    check(built.returncode == 0, "the build still succeeds")
    output = built.stdout + built.stderr
    warnings = [line for line in output.splitlines() if "warning:" in line]
    check(any("32_MIDAS" in w and "DllRegisterServer" in w for w in warnings), "32_MIDAS: not a server")
    check(any("64_SSLEAY32" in w and "x86-64" in w for w in warnings), "64_SSLEAY32: an x86-64 image")
    check(any("32_CORVOX" in w and "libeay32.dll, which row 8" in w and "row 1 (corvox.dll)" in w
              for w in warnings), "32_CORVOX: imports row 8, registered at row 1")
    check(any("32_CORVOX" in w and "absent.dll, which is neither" in w for w in warnings),
          "32_CORVOX: imports a library that exists nowhere")
    check(len(warnings) == 4, f"no other warnings ({len(warnings)})")
    with open(os.path.join(build_dir, "setup_orbel.payloads.txt"), encoding="utf-8") as f:
        check(f.read().count("warning:") == 4, "the table file keeps the warnings")

elif case == "checks":
    import pefile
    lfs = b"version https://git-lfs.example/spec/v1\noid sha256:" + b"ab" * 32 + b"\nsize 1287168\n"
    with open(os.path.join(payloads, "32", "libeay32.dll"), "wb") as f:
        f.write(lfs)
    open(os.path.join(payloads, "64", "ssleay32.dll"), "wb").close()
    with open(os.path.join(payloads, "32", "kwtCorvoLib.dll"), "r+b") as f:
        f.truncate(8192)
    # The import directory's address moved far past the image's end.
    outside = os.path.join(payloads, "64", "kwtCorvoLibUNICODE.dll")
    image = pefile.PE(outside, fast_load=True)
    at = image.OPTIONAL_HEADER.DATA_DIRECTORY[1].get_file_offset()
    image.close()
    with open(outside, "r+b") as f:
        f.seek(at)
        f.write(struct.pack("<I", 0x7FFF0000))
    expected = {"32_LIBEAY32": "the 32-bit payload of row 8 (libeay32.dll): a Git LFS pointer file "
                               "(the repository was checked out without LFS)",
                "64_SSLEAY32": "the 64-bit payload of row 7 (ssleay32.dll): an empty file",
                "32_KWTCORVOLIB": "the 32-bit payload of row 11 (kwtcorvolib.dll): truncated: its sections end "
                                  "at byte 12288 of a file of 8192 bytes",
                "64_KWTCORVOLIBUNICODE": "its import directory lies outside the file"}
    for strict in ("OFF", "ON"):
        build_dir = configured_build("strict-" + strict, "-DORBEL_STRICT_PAYLOADS=" + strict)
        built = build(build_dir)
        kind = "error:" if strict == "ON" else "warning:"
        lines = [line for line in (built.stdout + built.stderr).splitlines() if line.startswith(kind)]
        for name, text in expected.items():
            check(any(name in line and text in line for line in lines), f"strict {strict}: {name}: {text}")
        check(all(any(name in line for name in expected) for line in lines),
              f"strict {strict}: no {kind} for the other payloads ({len(lines)} in all)")
        exe = os.path.exists(os.path.join(build_dir, "setup_orbel.exe"))
        if strict == "OFF":
            check(built.returncode == 0 and exe, "without the option the build succeeds")
        else:
            check(built.returncode != 0 and not exe, "with ORBEL_STRICT_PAYLOADS the build fails, with no executable")

    # The checks read hostile bytes: mutated and cut images must each get an answer, never an exception.
    sys.path.insert(0, os.path.join(source, "tools"))
    import random
    import resource_object
    with open(os.path.join(demo, "32", "CorvoX.dll"), "rb") as f:
        original = f.read()
    seed = random.randrange(1 << 16)
    generator, crashed, flagged = random.Random(seed), [], 0
    fuzzed = os.path.join(scratch, "fuzzed.dll")
    for _ in range(1000):
        image = bytearray(original)
        for _ in range(generator.choice((1, 4, 16, 64))):
            image[generator.randrange(1024 if generator.random() < 0.7 else len(image))] = generator.randrange(256)
        if generator.random() < 0.2:
            image = image[:generator.randrange(len(image))]
        with open(fuzzed, "wb") as f:
            f.write(image)
        try:
            flagged += bool(resource_object.describe_pe(fuzzed, len(image))[1])
        except Exception as error:  # noqa: BLE001
            crashed.append(f"{type(error).__name__}: {error}")
    check(not crashed, f"1000 mutated images (seed {seed}), {flagged} warned about, none raised: {crashed[:3]}")

elif case == "too-large":
    # Sparse files: two distinct gigabyte images, which no 32-bit image can hold.
    for variant, size in (("32", 1 << 30), ("64", (1 << 30) + 1)):
        with open(os.path.join(payloads, variant, "CorvoGovX.ocx"), "wb") as f:
            f.truncate(size)
    build_dir = configured_build("build")
    built = build(build_dir)
    output = built.stdout + built.stderr
    check(built.returncode != 0, "the build fails")
    check("more than the" in output and "32-bit executable can carry" in output, "with a clear message")
    check(not os.path.exists(os.path.join(build_dir, "setup_orbel.exe")), "and makes no executable")

elif case == "signing":
    signer = os.path.join(scratch, "signer")
    subprocess.run([os.path.join(source, "tests/host/make_signer.sh"), signer], check=True)
    with open(os.path.join(signer, "password.txt"), encoding="utf-8") as f:
        password = f.read().strip()
    build_dir = configured_build("build", "-DORBEL_SIGN_PKCS12=" + os.path.join(signer, "signer.p12"),
                                 "-DORBEL_SIGN_PASSWORD_FILE=" + os.path.join(signer, "password.txt"))
    built = build(build_dir)
    check(built.returncode == 0, "build and sign" + ("" if built.returncode == 0 else ":\n" + built.stdout))
    exe = os.path.join(build_dir, "setup_orbel.exe")
    verified = subprocess.run(["osslsigncode", "verify", "-CAfile", os.path.join(signer, "signer.pem"), "-in", exe],
                              capture_output=True, text=True)
    check(verified.returncode == 0 and "Signature verification: ok" in verified.stdout, "osslsigncode verifies it")
    boot = subprocess.run([sys.executable, os.path.join(source, "tests/host/boot_signature_test.py"), exe,
                           os.path.join(signer, "signer.pem"), os.path.join(scratch, "boot")],
                          capture_output=True, text=True)
    check(boot.returncode == 0, "and the boot program it carries" + ("" if boot.returncode == 0 else ": " + boot.stdout
                                                                    + boot.stderr))
    generated = ""
    for root, _, names in os.walk(build_dir):
        for name in names:
            if name.endswith((".ninja", ".txt", ".cmake")):
                with open(os.path.join(root, name), encoding="utf-8", errors="replace") as f:
                    generated += f.read()
    check(password not in generated + built.stdout, "the password is in no build file or command line")
    unsigned = configured_build("unsigned")
    check(build(unsigned).returncode == 0, "build unsigned")
    verified = subprocess.run(["osslsigncode", "verify", "-in", os.path.join(unsigned, "setup_orbel.exe")],
                              capture_output=True, text=True)
    check(verified.returncode != 0, "without the variables the executable is unsigned")

else:
    sys.exit(f"unknown case {case!r}")

shutil.rmtree(scratch, ignore_errors=True)
checks.finish()
