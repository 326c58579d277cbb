"""Helpers for the host-side tests that configure and build the project."""
import hashlib
import os
import shutil
import subprocess
import sys

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
import component_table  # noqa: E402

TABLE = component_table.rows(SOURCE)
FILES = [base + ext for base, ext, _ in TABLE]
SERVERS = [base + ext for base, ext, registered in TABLE if registered]


class Checks:
    def __init__(self):
        self.failures = []

    def check(self, condition, message):
        print(("ok   " if condition else "FAIL ") + message, flush=True)
        if not condition:
            self.failures.append(message)
        return condition

    def finish(self):
        print(f"{len(self.failures)} failed" if self.failures else "all checks passed")
        sys.exit(1 if self.failures else 0)


def configure(source, build, payloads, *options, timeout=None):
    return subprocess.run(
        ["cmake", "-S", source, "-B", build, "-G", "Ninja",
         "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(source, "cmake/toolchain-mingw-w64-i686.cmake"),
         "-DORBEL_PAYLOAD_DIR=" + payloads, *options],
        capture_output=True, text=True, timeout=timeout)


def build(build_dir, target="setup_orbel"):
    return subprocess.run(["cmake", "--build", build_dir, "--target", target], capture_output=True, text=True)


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(1 << 20), b""):
            digest.update(piece)
    return digest.hexdigest()


def copy_payloads(demo, destination):
    """A release engineer's payload folder, made from the demo set."""
    shutil.rmtree(destination, ignore_errors=True)
    for variant in ("32", "64"):
        shutil.copytree(os.path.join(demo, variant), os.path.join(destination, variant))
    return destination
