// setup_orbel: writes the component suite into the 32-bit system folder and
// registers its COM servers. No arguments, no window; the exit code says
// whether every component is in place.

#include "setup_orbel.h"

#include "winsvc/unique.h"
#include "winsvc/winsvc.h"

namespace orbel {
namespace {

struct InstallEntry {
    const wchar_t* baseName;
    const wchar_t* extension;
    bool registerServer;
};

// Table order is install order: each server is registered before the rows after it are written.
constexpr InstallEntry kComponentTable[] = {
    {L"CorvoX", L".dll", true},
    {L"CorvoDataSetX", L".dll", true},
    {L"msxml6", L".dll", true},
    {L"CorvoGovX", L".ocx", true},
    {L"midas", L".dll", true},
    {L"stdvcl40", L".dll", true},
    {L"ssleay32", L".dll", false},
    {L"libeay32", L".dll", false},
    {L"msxml6r", L".dll", false},
    {L"kwtCorvoLibUNICODE", L".dll", false},
    {L"kwtCorvoLib", L".dll", false},
};

constexpr wchar_t kPlaceholder[] = L"{S}";

// A registration takes seconds. One that runs this long waits for something
// that never comes (a message box in a session nobody sees, a network): it is
// ended and its row fails, so that the run and the lock are not held for ever.
#ifndef ORBEL_REGISTRATION_LIMIT_MS
#define ORBEL_REGISTRATION_LIMIT_MS (5 * 60 * 1000)
#endif
constexpr DWORD kRegistrationLimitMs = ORBEL_REGISTRATION_LIMIT_MS;

// A payload and the resource that holds its bytes in this executable's mapped image.
struct LoadedPayload {
    UniqueResource resource;
    Payload payload;
};

Text ReplaceAll(Text text, const Text& from, const Text& to) {
    for (size_t at = text.find(from); at != Text::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

bool LoadPayload(const Text& resourceName, LoadedPayload& loaded) {
    // A null module is this executable itself.
    const HRSRC info = ::FindResourceW(nullptr, resourceName.c_str(), MAKEINTRESOURCEW(10));
    if (!info) {
        return false;
    }
    loaded.resource.reset(::LoadResource(nullptr, info));
    if (!loaded.resource) {
        return false;
    }
    loaded.payload.size = ::SizeofResource(nullptr, info);
    loaded.payload.bytes = static_cast<const BYTE*>(::LockResource(loaded.resource.get()));
    return loaded.payload.bytes != nullptr || loaded.payload.size == 0;
}

Text FormTargetPath(const Text& baseName, const Text& extension) {
    const Text folder = GetSystemFolder();
    return folder.empty() ? folder : folder + baseName + extension;
}

// The registration tool of the same system folder, its path quoted so that a
// blank in it cannot make CreateProcessW run a shorter path.
Text FormCommandTemplate() {
    const Text folder = GetSystemFolder();
    return folder.empty() ? folder : L"\"" + folder + L"regsvr32.exe\" /s \"" + kPlaceholder + L"\"";
}

}  // namespace

bool TargetExists(const Text& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME) {
            return false;
        }
        // Attributes withheld (access denied, say): the directory listing decides.
        WIN32_FIND_DATAW found;
        const UniqueFind find{OwnedOrNull(::FindFirstFileW(path.c_str(), &found))};
        return find && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    }
    // A link counts only if what it points at can be opened as a file.
    const UniqueHandle file{OwnedOrNull(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))};
    return file || ::GetLastError() == ERROR_SHARING_VIOLATION;
}

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
    // Windows' own file (msxml6.dll since Vista): only Windows may replace it,
    // and Windows registered it. It is left as it is.
    if (IsProtectedSystemFile(targetPath)) {
        return TargetExists(targetPath) ? RowState::kInPlace : RowState::kFailed;
    }

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

int InstallComponents() noexcept {
    bool failed = false;
    bool pending = false;
    for (const InstallEntry& entry : kComponentTable) {
        // Every row is installed, whatever happened to the rows before it.
        const RowState state = InstallComponent(entry.extension, entry.baseName, entry.registerServer);
        failed = failed || state == RowState::kFailed;
        pending = pending || state == RowState::kPending;
    }
    return failed ? kInstallFailure : pending ? kRestartRequired : 0;
}

}  // namespace orbel

// One install at a time on a machine, as Windows Installer keeps it: a run
// that finds another under way waits for it, then does its own whole pass.
// The lock is a file in the system folder, which no standard user can make.
// A run takes seconds; one that waited this long writes nothing and says so.
#ifndef ORBEL_INSTALL_LOCK_WAIT_MS
#define ORBEL_INSTALL_LOCK_WAIT_MS (5 * 60 * 1000)
#endif

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    orbel::RestrictDllSearch();
    const orbel::Text folder = orbel::GetSystemFolder();
    const orbel::InstallLock lock(folder.empty() ? folder : folder + L"setup_orbel.lock", ORBEL_INSTALL_LOCK_WAIT_MS);
    if (!lock.held()) {
        return orbel::kInstallAlreadyRunning;
    }
    return orbel::InstallComponents();
}
