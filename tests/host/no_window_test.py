#!/usr/bin/env python3
"""No window: a whole run under an X server, with a COM server whose
DllRegisterServer fails, maps no window and ends by itself; once with the real
registration tool, and once with a stand-in that shows Windows' error box
unless "/s" is given (Wine's own regsvr32 prints its errors instead). As a
control, the stand-in without "/s" must map a window: a window would be seen.

    no_window_test.py <win32|win64> <wine-run.sh> <orbel_stopwatch.exe> <installer.exe> <failing-server.dll>
                      <boxing-regsvr32.exe> <scratch-dir>
"""
import os
import shutil
import subprocess
import sys
import time

from buildtest import Checks
from wineprefix import Prefix, windows_path

kind, wine_run, stopwatch_exe, installer, failing_server, boxing_regsvr32, scratch = sys.argv[1:8]
checks = Checks()
check = checks.check
prefix = Prefix(wine_run, kind, os.path.join(scratch, "prefix"), stopwatch_exe)
# The watches' logs; the prefix may live elsewhere (in the emulated guest, on its own disk).
os.makedirs(scratch, exist_ok=True)

def start_x_server():
    """An X server of its own, on a display whose socket nothing else holds."""
    for number in range(90, 190):
        socket = f"/tmp/.X11-unix/X{number}"
        if os.path.exists(socket) or os.path.exists(f"/tmp/.X{number}-lock"):
            continue
        server = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if os.path.exists(socket) or server.poll() is not None:
                break
            time.sleep(0.1)
        if os.path.exists(socket) and server.poll() is None:
            return server, f":{number}"
        server.kill()
        server.wait()
    sys.exit("cannot start an X server")


xvfb, display = start_x_server()
os.environ["DISPLAY"] = display


def viewable_windows():
    """The top-level windows that X shows right now."""
    tree = subprocess.run(["xwininfo", "-root", "-children"], capture_output=True, text=True).stdout
    ids = [line.split()[0] for line in tree.splitlines() if line.strip().startswith("0x")]
    shown = []
    for window in ids:
        about = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True).stdout
        if "IsViewable" in about:
            shown.append(window)
    return shown


class MapWatch:
    """Every window mapped on the display while it runs, from the root window's MapNotify events."""

    def __init__(self, name):
        self.log = os.path.join(scratch, name + ".xev")
        self.output = open(self.log, "w")
        self.xev = subprocess.Popen(["xev", "-root", "-event", "substructure"], stdout=self.output,
                                    stderr=subprocess.DEVNULL)
        # Give xev time to connect and select its events on a busy machine.
        time.sleep(2)

    def mapped(self):
        """The mapped windows, each with what X still knows of it."""
        self.output.flush()
        with open(self.log, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
        windows = []
        for index, line in enumerate(lines):
            if line.startswith("MapNotify") and index + 1 < len(lines):
                window = lines[index + 1].split("window ")[-1].split(",")[0]
                about = subprocess.run(["xprop", "-id", window, "WM_NAME", "WM_CLASS"],
                                       capture_output=True, text=True).stdout.replace("\n", " ").strip()
                windows.append(f"{window} {about}")
        return windows

    def stop(self):
        self.xev.terminate()
        self.xev.wait()
        mapped = self.mapped()
        self.output.close()
        return mapped


def run_without_window(what, **env):
    watch = MapWatch(what)
    started = time.time()
    code = prefix.run(installer, timeout=300, **env)
    mapped = watch.stop()
    check(code == 1603, f"{what}: the run ends by itself after {time.time() - started:.1f} s, with 1603 ({code})")
    check(mapped == [], f"{what}: no window was mapped during the run {mapped[:3]}")


def start_windows():
    """A wineserver that stays, and the explorer that owns the desktop, up before
    anything is watched: started afresh under load, explorer can miss the time a
    new window waits for it."""
    subprocess.run(["wineserver", "-p"], env=prefix.env(), check=True)
    prefix.run(os.path.join(prefix.path, "drive_c", "windows", "system32", "cmd.exe"), "/c", "exit")


try:
    start_windows()
    run_without_window("real regsvr32")

    # A new file, not the old one rewritten: the running wineserver may still
    # hold the image it mapped for the old one.
    tool = os.path.join(prefix.system_folder, "regsvr32.exe")
    shutil.copy(boxing_regsvr32, tool + ".new")
    os.replace(tool + ".new", tool)
    # Wine loads the stand-in only when told to prefer the native file.
    native = {"WINEDLLOVERRIDES": "regsvr32.exe=n;msxml6=n;mscoree,mshtml="}
    watch = MapWatch("control")
    control_code = os.path.join(prefix.path, "drive_c", "control.txt")
    with open(os.path.join(prefix.path, "drive_c", "control-command.txt"), "w", encoding="utf-8") as f:
        f.write(f'"{prefix.windows_system_folder}\\regsvr32.exe" "{windows_path(failing_server)}"\n')
    control = subprocess.Popen(["wine", stopwatch_exe, "C:\\control.txt", "C:\\control-command.txt"],
                               env=prefix.env(**native), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.time() + 120
    shown = []
    while time.time() < deadline and not shown and not os.path.exists(control_code):
        shown = viewable_windows()
        time.sleep(0.2)
    mapped = watch.stop()
    ended = ""
    if os.path.exists(control_code):
        with open(control_code, encoding="ascii") as f:
            ended = f"; it ended by itself with {f.read().split()[-1]}"
    check(bool(shown), f"control: the stand-in without /s shows its error box{ended}")
    check(bool(mapped), "control: the watch saw the box being mapped")
    # Closes the box, which waits for a click, with the rest of that Windows.
    prefix.stop()
    control.wait(timeout=60)
    start_windows()

    run_without_window("regsvr32 that shows boxes", **native)
finally:
    prefix.remove()
    xvfb.terminate()
    xvfb.wait()
    shutil.rmtree(scratch, ignore_errors=True)
checks.finish()
