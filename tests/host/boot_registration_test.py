#!/usr/bin/env python3
"""A 3010 that completes itself. Version 1 installed; CorvoX.dll held by a real
client (cscript with its object loaded) while version 2 is installed: 3010,
the old file registered. After one restart, with nobody logged on, the new file
is in place and the six servers are registered again, in table order, on it:
the ProgID only version 2 registers is creatable. After a second restart
nothing of the boot-time work is left. Then a re-run that finds the file freed
registers and removes the pending work itself, and registrations that keep
failing at boot are tried at three starts, then given up and removed; and
where Windows owns msxml6.dll, the boot program registers the other five.

The stand-in regsvr32.exe logs each command line and then registers the file
for real (LoadLibrary, DllRegisterServer), so the log tells what ran and a
client tells what it did. The holder (file_holder.exe) keeps the DLL loaded
and open for reading without FILE_SHARE_DELETE: Wine lets a merely loaded DLL
be replaced, which Windows does not, and a holder with share mode 0 would make
regsvr32 fail to load the old file, which an application's hold does not.

    boot_registration_test.py <win32|win64> <wine-run.sh> <orbel_stopwatch.exe> <installer v1> <installer v2>
                              <boot program.exe> <stand-in regsvr32.exe> <file_holder.exe> <stand-in sfc.dll>
                              <payload dir v1> <scratch-dir>
"""
import os
import re
import shutil
import subprocess
import sys
import time

from buildtest import SERVERS, Checks
from wineprefix import OVERRIDES, Prefix, read

kind, wine_run, stopwatch_exe, v1, v2, boot_program, stand_in, holder_exe, stand_in_sfc, payloads, scratch = \
    sys.argv[1:12]
checks = Checks()
check = checks.check
prefix = Prefix(wine_run, kind, os.path.join(scratch, "prefix"), stopwatch_exe)
drive_c = os.path.join(prefix.path, "drive_c")
log = os.path.join(drive_c, "regsvr32.log")
program = prefix.target("setup_orbel_boot.exe")
shutil.copyfile(stand_in, prefix.target("regsvr32.exe"))
env = {"WINEDLLOVERRIDES": OVERRIDES + ";regsvr32.exe=n"}
# A service's environment is made by the service manager from the machine's
# settings (WINEDLLOVERRIDES, a Unix variable, passes; the Windows ones of the
# command that started Wine do not): the stand-in's are machine-wide.
stand_in_settings = {"ORBEL_FAKE_REGSVR32_LOG": "C:\\regsvr32.log", "ORBEL_FAKE_REGSVR32_REGISTER": "1"}
env.update(stand_in_settings)
v1_corvox = read(os.path.join(payloads, prefix.variant, "CorvoX.dll"))
# Windows names the folder in its own case (SysWOW64): compared without regard to case.
commands = [f'"{prefix.windows_system_folder}\\regsvr32.exe" /s "{prefix.windows_system_folder}\\{name}"'.lower()
            for name in SERVERS]


def logged():
    """The commands the stand-in ran since the last call."""
    if not os.path.exists(log):
        return []
    with open(log, encoding="utf-8") as f:
        lines = f.read().lower().splitlines()
    os.remove(log)
    return lines


def registry_key(key):
    """The values of a key of HKLM in the stopped prefix's system.reg, or None."""
    with open(os.path.join(prefix.path, "system.reg"), encoding="utf-8", errors="replace") as f:
        text = f.read().replace("\\\n  ", "")
    header = "[" + key.replace("\\", "\\\\") + "]"
    at = text.lower().find(header.lower())
    if at < 0:
        return None
    body = text[at + len(header):].split("\n[", 1)[0]
    return dict(re.findall(r'^"([^"]+)"=(.*)$', body, re.M))


def restart_queue():
    """The queued moves as (source, target) pairs, read from the stopped prefix."""
    value = (registry_key("System\\CurrentControlSet\\Control\\Session Manager") or {}).get(
        "PendingFileRenameOperations")
    if not value:
        return []
    if value.startswith("hex(7):"):
        data = bytes(int(b, 16) for b in value[7:].replace(" ", "").split(",") if b)
        strings = data.decode("utf-16-le").split("\0")
    else:
        strings = value[len('str(7):"'):-1].replace("\\\\", "\\").split("\\0")
    strings = [s[4:] if s.startswith("\\??\\") else s for s in strings]
    return list(zip(strings[0::2], strings[1::2]))


def boot_work():
    """What of the boot-time work is on the stopped machine."""
    service = registry_key("System\\CurrentControlSet\\Services\\setup_orbel_boot")
    deletion = any(s.lower().endswith("\\setup_orbel_boot.exe") and not t for s, t in restart_queue())
    return service, os.path.exists(program), deletion


def set_machine_environment(**values):
    """Values of the machine's environment (None deletes one), seen by processes after the next start."""
    keep_up()
    key = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment"
    for name, value in values.items():
        change = ["add", key, "/v", name, "/d", value, "/f"] if value is not None else ["delete", key, "/v", name, "/f"]
        prefix.run(prefix.target("reg.exe"), *change, **env)


def boot_program_running():
    """Whether the boot program runs in this prefix now (a service's process is not waited for by
    wineserver -w)."""
    mark = f"WINEPREFIX={prefix.path}".encode()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if b"setup_orbel_boot.exe" not in f.read():
                    continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                if mark in f.read().split(b"\0"):
                    return True
        except OSError:
            continue
    return False


def keep_up():
    """Windows stays up between processes: with no wineserver left, the next process would start the
    prefix anew, which is a restart. (One already up says so and is left as it is.)"""
    subprocess.run(["wineserver", "-p"], env=prefix.env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wait_for_service_deletion(bound=120):
    """The service manager deletes a service marked for deletion once it has stopped, in its own time:
    its process may be gone before the service is. Waits until the service's key is gone, for at most
    bound seconds (a stopped wineserver would otherwise keep a service not yet deleted)."""
    key = "HKLM\\System\\CurrentControlSet\\Services\\setup_orbel_boot"
    deadline = time.monotonic() + bound
    while prefix.run(prefix.target("reg.exe"), "query", key, **env) == 0 and time.monotonic() < deadline:
        time.sleep(0.5)


def restart(during=None, registrations=0):
    """Windows started again, as `wineboot -r` does it: stopping the wineserver ends every process; the
    restart makes the queued moves and clears the queue, and only then starts the auto-start services,
    our boot program among them. during() is called once `wineboot -r` has returned. Then waits until
    the stand-in has logged that many registrations and no boot program runs (a service's process is
    not waited for by wineserver -w, and may start before or after `wineboot -r` returns)."""
    prefix.stop()
    keep_up()
    with open(os.devnull, "wb") as quiet:
        subprocess.run(["wine", "wineboot", "-r"], env=prefix.env(**env), stdout=quiet, stderr=quiet, timeout=300)
    if during:
        during()
    deadline = time.monotonic() + 600
    logged_now = 0
    while time.monotonic() < deadline:
        with open(log, "a+", encoding="utf-8") as f:
            f.seek(0)
            logged_now = len(f.read().splitlines())
        if logged_now >= registrations and not boot_program_running():
            return
        time.sleep(0.2)
    # Past the bound the checks after it would read a machine still at work: said as what it is.
    check(False, f"the boot program ended within 600 s of the restart ({logged_now} of {registrations} logged)")


def hold(name):
    """The file held as a running application holds its library, until release() is called."""
    keep_up()
    ready, done = os.path.join(drive_c, "held.txt"), os.path.join(drive_c, "release.txt")
    for path in (ready, done):
        if os.path.exists(path):
            os.remove(path)
    holder = subprocess.Popen(["wine", holder_exe, f"{prefix.windows_system_folder}\\{name}", "C:\\held.txt",
                               "C:\\release.txt"], env=prefix.env(**env), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    for _ in range(1200):
        if os.path.exists(ready) or holder.poll() is not None:
            break
        time.sleep(0.1)
    check(os.path.exists(ready), f"{name} held")

    def release():
        open(done, "w").close()
        holder.wait(timeout=120)
    return release


def client(prog_id):
    """What the system folder's script host gets from a new object of that ProgID."""
    with open(os.path.join(drive_c, "probe.js"), "w", encoding="utf-8") as f:
        f.write(f'var r; try {{ r = new ActiveXObject("{prog_id}").Name; }} catch (e) {{ r = "failed: " + e.message; }}\n'
                'var f = new ActiveXObject("Scripting.FileSystemObject").CreateTextFile("C:\\\\probe.txt");\n'
                'f.Write(r); f.Close();\n')
    prefix.run(os.path.join(prefix.system_folder, "cscript.exe"), "//nologo", "C:\\probe.js", **env)
    with open(os.path.join(drive_c, "probe.txt"), encoding="utf-8", errors="replace") as f:
        return f.read().strip()


def reg_string(value):
    """A REG_SZ or REG_EXPAND_SZ as system.reg stores it, unquoted."""
    text = re.sub(r'^(str\(2\):)?"(.*)"$', r"\2", value or "")
    return re.sub(r"\\(.)", r"\1", text)


try:
    keep_up()
    set_machine_environment(**stand_in_settings)
    restart()
    check(prefix.run(v1, **env) == 0, "version 1 installs: 0")
    check(logged() == commands, "version 1: the six commands, in table order")

    release = hold("CorvoX.dll")
    check(prefix.run(v2, **env) == 3010, "version 2 with CorvoX.dll held: 3010")
    check(read(prefix.target("CorvoX.dll")) == v1_corvox, "the held file keeps its old bytes")
    check(logged() == commands, "the old file registered, with the other five")
    check(prefix.run(v2, **env) == 3010, "a re-run before the restart: 3010 again")
    logged()
    release()
    prefix.stop()
    service, file_there, _ = boot_work()
    check(service is not None and service.get("FailedStarts") == "dword:00000000",
          f"one pending work, its count of tries at 0 ({(service or {}).get('FailedStarts')})")
    check(service is not None and service.get("Start") == "dword:00000002" and
          reg_string(service.get("ImagePath")).lower() == f'"{prefix.windows_system_folder}\\setup_orbel_boot.exe"'
          .lower(), f"an auto-start service of the boot program ({(service or {}).get('ImagePath')})")
    check(file_there and read(program) == read(boot_program), "the boot program in the system folder")
    moves = [(s, t) for s, t in restart_queue() if t]
    check(len(moves) == 1 and moves[0][1].lower().endswith("\\corvox.dll"),
          f"one queued move, into CorvoX.dll, after two runs ({moves})")

    restart(registrations=len(commands))
    check(read(prefix.target("CorvoX.dll")) != v1_corvox, "after the restart: the new CorvoX.dll in place")
    check(logged() == commands, "after the restart: the six commands once more, in table order")
    created = client("Orbel.CorvoX.2")
    check(created == "CorvoX 32+64 v2", f"a client creates Orbel.CorvoX.2, which only version 2 registers ({created})")
    wait_for_service_deletion()
    prefix.stop()
    service, _, deletion = boot_work()
    check(service is None and deletion, f"the service gone ({service is None}), the program's deletion queued ({deletion})")
    restart()
    prefix.stop()
    check(logged() == [], "a second restart registers nothing")
    check(boot_work() == (None, False, False), f"after the second restart nothing of it is left {boot_work()}")

    release = hold("CorvoX.dll")
    check(prefix.run(v1, **env) == 3010, "version 1 over a held version 2: 3010")
    release()
    check(prefix.run(v1, **env) == 0, "a re-run with the file freed: 0")
    prefix.stop()
    check(boot_work() == (None, False, False), f"and no pending work is left {boot_work()}")

    release = hold("CorvoX.dll")
    check(prefix.run(v2, **env) == 3010, "version 2 over a held version 1: 3010")
    release()
    logged()
    # Each registration takes a second: a run started while the boot program works must wait for it.
    set_machine_environment(ORBEL_FAKE_REGSVR32_EXIT="1", ORBEL_FAKE_REGSVR32_DELAY_MS="1000")
    seen = {}

    def run_meanwhile():
        deadline = time.monotonic() + 60
        while not boot_program_running() and time.monotonic() < deadline:
            time.sleep(0.1)
        seen["working"] = boot_program_running()
        seen["code"] = prefix.run(v2, ORBEL_FAKE_REGSVR32_EXIT="1", **env)
    for start in (1, 2, 3):
        restart(run_meanwhile if start == 1 else None, registrations=len(commands))
        if start == 1:
            check(seen["working"] and seen["code"] == 1603, f"a run while the boot program works: 1603 ({seen})")
            check(logged() == commands * 2, "the boot program's six commands and the run's six, one after the other")
        else:
            check(logged() == commands, f"failing start {start}: the six commands, in table order")
        if start == 3:
            wait_for_service_deletion()
        prefix.stop()
        service, file_there, deletion = boot_work()
        if start < 3:
            check(service is not None and service.get("FailedStarts") == f"dword:0000000{start}",
                  f"failing start {start}: the work stays, {start} failed ({(service or {}).get('FailedStarts')})")
        else:
            check(service is None and deletion, "failing start 3: given up, the service gone, the deletion queued")
    keep_up()
    set_machine_environment(ORBEL_FAKE_REGSVR32_EXIT=None, ORBEL_FAKE_REGSVR32_DELAY_MS=None)
    restart()
    prefix.stop()
    check(logged() == [] and boot_work() == (None, False, False), "the start after: nothing registered, nothing left")

    # Where Windows owns msxml6.dll (the stand-in sfc.dll says so, as Windows does since Vista), the
    # boot program leaves it to Windows, as the run does: five registrations at the restart.
    shutil.copyfile(stand_in_sfc, prefix.target("sfc.dll"))
    env["WINEDLLOVERRIDES"] += ";sfc=n"
    five = [command for command in commands if not command.endswith('\\msxml6.dll"')]
    release = hold("CorvoX.dll")
    check(prefix.run(v1, **env) == 3010, "with msxml6.dll Windows' own, version 1 over a held version 2: 3010")
    release()
    check(logged() == five, "the run registers the five that are not Windows' own")
    restart(registrations=len(five))
    check(logged() == five, "after the restart: the same five, in table order")
    wait_for_service_deletion()
    prefix.stop()
    check(boot_work()[0] is None, "and the work is done")
finally:
    prefix.remove()
    shutil.rmtree(scratch, ignore_errors=True)
checks.finish()
