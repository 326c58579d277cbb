// setup_orbel: writes the component suite into the 32-bit system folder and
// registers its COM servers. No arguments, no window; the exit code says
// whether every component is in place.

#include "setup_orbel.h"

#include "boot_registration.h"
#include "install_table.h"
#include "shared_count.h"
#include "winsvc/unique.h"
#include "winsvc/winsvc.h"

namespace orbel {

namespace {

// Puts the payload in place and registers whatever file is then there.
RowState PlaceAndRegister(const Text& targetPath, const Text& commandTemplate, const Text& resourceName,
                          bool registerServer) {
    RowState state = RowState::kFailed;
    {
        LoadedPayload loaded;
        // Without its payload the target is left exactly as it is.
        if (LoadPayload(resourceName, loaded)) {
            state = PlaceFile(loaded.payload, targetPath);
        }
    }
    if (!registerServer) {
        return state;
    }
    // Whatever file is there now is registered, even one that could not be replaced.
    if (!TargetExists(targetPath)) {
        return RowState::kFailed;
    }
    const DWORD exitCode =
        RunCommand(ReplaceAll(commandTemplate, kPlaceholder, targetPath), SW_SHOWNORMAL, true, kRegistrationLimitMs);
    return exitCode == 0 ? state : RowState::kFailed;
}

}  // namespace

RowState InstallComponent(const Text& extension, const Text& baseName, bool registerServer) {
    Text targetPath = FormTargetPath(baseName, extension);
    Text commandTemplate = FormCommandTemplate();
    Text resourceName = L"32_" + FileNamePart(baseName);
    if (IsWow64()) {
        targetPath = FormTargetPath(baseName, extension);
        commandTemplate = FormCommandTemplate();
        resourceName = L"64_" + FileNamePart(baseName);
    }
    // Empty when Windows named no folder or memory ran out: never write a relative path.
    if (targetPath.empty() || commandTemplate.empty() || resourceName.failed()) {
        return RowState::kFailed;
    }
    // Windows' own file (msxml6.dll since Vista): only Windows replaces it, and
    // Windows registered it. Left as it is, and uncounted; the boot program
    // asks the same question.
    if (IsProtectedSystemFile(targetPath)) {
        return TargetExists(targetPath) ? RowState::kInPlace : RowState::kFailed;
    }
    const bool existedBefore = TargetExists(targetPath);
    const RowState state = PlaceAndRegister(targetPath, commandTemplate, resourceName, registerServer);
    // The file is ours now, or will be at the restart. A count that cannot be
    // taken leaves the row as it is: the suite works, and the next run tries again.
    if (state != RowState::kFailed) {
        CountSharedFile(targetPath, existedBefore);
    }
    return state;
}

int InstallComponents() noexcept {
    bool failed = false;
    bool pending = false;
    for (const InstallEntry& entry : kComponentTable) {
        // Every row is installed, whatever happened to the rows before it.
        const RowState state = InstallComponent(entry.extension, entry.baseName, entry.registerServer);
        failed = failed || state == RowState::kFailed;
        pending = pending || state == RowState::kPending;
    }
    // A file that Windows replaces at its next start is registered right after
    // it, by the boot-time work; without that work 3010 would promise too much.
    if (pending) {
        failed = !ArrangeBootRegistration() || failed;
    } else if (!failed) {
        RemoveBootRegistration();
    }
    return failed ? kInstallFailure : pending ? kRestartRequired : 0;
}

}  // namespace orbel

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    orbel::RestrictDllSearch();
    const orbel::InstallLock lock(orbel::InstallLockPath(), orbel::kInstallLockWaitMs);
    if (!lock.held()) {
        return orbel::kInstallAlreadyRunning;
    }
    return orbel::InstallComponents();
}
