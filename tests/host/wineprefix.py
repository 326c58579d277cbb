"""A throwaway Windows for the host-side fault tests: a copy of the build's
template prefix, its own wineserver, and full exit codes for what runs in it."""
import os
import shutil
import subprocess

# Wine takes its builtin msxml6 over the native file unless told otherwise.
OVERRIDES = "msxml6=n;mscoree,mshtml="


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Prefix:
    def __init__(self, wine_run, kind, where, stopwatch_exe):
        # In the emulated guest, prefixes live on the guest's own disk, not on the shared tree.
        where = os.environ.get("ORBEL_GUEST_SCRATCH", "") + os.path.abspath(where)
        self.kind = kind
        self.path = where
        self.stopwatch_exe = stopwatch_exe
        template = subprocess.run([wine_run, "--template"], env={**os.environ, "ORBEL_WINE_KIND": kind},
                                  capture_output=True, text=True, check=True).stdout.strip()
        shutil.rmtree(where, ignore_errors=True)
        os.makedirs(os.path.dirname(where), exist_ok=True)
        subprocess.run(["cp", "-a", template, where], check=True)
        self.system_folder = os.path.join(where, "drive_c", "windows", "syswow64" if kind == "win64" else "system32")
        self.windows_system_folder = "C:\\windows\\" + ("syswow64" if kind == "win64" else "system32")
        self.variant = "64" if kind == "win64" else "32"

    def env(self, **extra):
        return {**os.environ, "WINEPREFIX": self.path, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": OVERRIDES, **extra}

    def run(self, program, *arguments, timeout=600, **extra_env):
        """Runs a Windows program to its end and answers its whole exit code."""
        command = " ".join(f'"{part}"' for part in (windows_path(program), *arguments))
        with open(os.path.join(self.path, "drive_c", "command.txt"), "w", encoding="utf-8") as f:
            f.write(command + "\n")
        result = os.path.join(self.path, "drive_c", "result.txt")
        if os.path.exists(result):
            os.remove(result)
        with open(os.devnull, "wb") as quiet:
            subprocess.run(["wine", self.stopwatch_exe, "C:\\result.txt", "C:\\command.txt"],
                           env=self.env(**extra_env), stdout=quiet, stderr=quiet, timeout=timeout)
        with open(result, encoding="ascii") as f:
            # Seconds, then the exit code.
            return int(f.read().split()[1])

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env(), capture_output=True)
        subprocess.run(["wineserver", "-w"], env=self.env(), capture_output=True)

    def remove(self):
        self.stop()
        shutil.rmtree(self.path, ignore_errors=True)

    def target(self, name):
        return os.path.join(self.system_folder, name)

    def leftovers(self):
        return sorted(n for n in os.listdir(self.system_folder) if ".orbel-" in n)


def read(path):
    with open(path, "rb") as f:
        return f.read()
