// setup_orbel_boot: the registrations after a restart. The service manager
// starts it at the first start of Windows after a run that ended in 3010, once
// Windows has made the queued moves: it registers every server of the table
// again, on the files now in place, and removes itself. Started any other
// way, it does nothing.

#include "boot_registration.h"
#include "install_table.h"
#include "winsvc/winsvc.h"

#include <cwchar>
#include <iterator>

namespace orbel {
namespace {

// Whether a move into one of the table's files is still queued: Windows has
// not restarted since the run, and the service was started by hand. A queue
// that cannot be read does not hold the registrations up.
bool MovesStillQueued() {
    Text targets[std::size(kComponentTable)];
    for (size_t i = 0; i < std::size(kComponentTable); ++i) {
        targets[i] = FormTargetPath(kComponentTable[i].baseName, kComponentTable[i].extension);
    }
    bool queued = false;
    ForEachRestartMove([&](const wchar_t*, const wchar_t* target) {
        // A deletion names no target; it must not match a path that could not be formed.
        if (*target == L'\0') {
            return;
        }
        for (const Text& path : targets) {
            queued = queued || ::_wcsicmp(target, path.c_str()) == 0;
        }
    });
    return queued;
}

// Every server, in table order, each waited for; false if any failed.
bool RegisterServers() {
    bool registered = true;
    for (const InstallEntry& entry : kComponentTable) {
        const Text targetPath = FormTargetPath(entry.baseName, entry.extension);
        // As the installer decides: Windows registered its own file.
        if (!entry.registerServer || IsProtectedSystemFile(targetPath)) {
            continue;
        }
        const Text command = ReplaceAll(FormCommandTemplate(), kPlaceholder, targetPath);
        registered = !targetPath.empty() && !command.empty() && !command.failed() && TargetExists(targetPath) &&
                     RunCommand(command, SW_HIDE, true, kRegistrationLimitMs) == 0 && registered;
    }
    return registered;
}

void RegisterAtBoot() {
    const InstallLock lock(InstallLockPath(), kInstallLockWaitMs);
    if (!lock.held()) {
        // A run under way the whole wait: this start's work is left for the next.
        return;
    }
    DWORD failed = 0;
    bool pending = false;
    if (!ReadFailedStarts(failed, pending)) {
        return;
    }
    if (!pending) {
        // A run that registered every server itself ended the work while this one waited.
        RemoveBootWork(BootProgramPath());
        return;
    }
    if (MovesStillQueued()) {
        return;
    }
    // Compared before adding: a count another program set to its maximum does not wrap to 0.
    if (RegisterServers() || failed >= kBootTries - 1 || !WriteFailedStarts(failed + 1)) {
        RemoveBootWork(BootProgramPath());
    }
}

SERVICE_STATUS_HANDLE g_status = nullptr;

void Report(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    // Nothing to stop midway: a registration is waited for, or ended at its bound.
    status.dwControlsAccepted = 0;
    status.dwWin32ExitCode = NO_ERROR;
    ::SetServiceStatus(g_status, &status);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
    g_status = ::RegisterServiceCtrlHandlerExW(kBootServiceName, Control, nullptr);
    if (!g_status) {
        return;
    }
    Report(SERVICE_RUNNING);
    RegisterAtBoot();
    Report(SERVICE_STOPPED);
}

}  // namespace
}  // namespace orbel

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    orbel::RestrictDllSearch();
    wchar_t name[] = L"setup_orbel_boot";
    const SERVICE_TABLE_ENTRYW services[] = {{name, orbel::ServiceMain}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(services) ? 0 : 1;
}
