#include "boot_registration.h"

#include "install_table.h"
#include "place_file.h"
#include "winsvc/winsvc.h"

#include <cwchar>
#include <memory>

namespace orbel {
namespace {

constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\setup_orbel_boot";
constexpr wchar_t kFailedStartsValue[] = L"FailedStarts";
constexpr wchar_t kDisplayName[] = L"Orbel components: registrations after a restart";
constexpr wchar_t kDescription[] =
    L"Registers the Orbel COM servers once more after the restart that put their new files in place, "
    L"then removes itself.";

struct ServiceCloser {
    void operator()(SC_HANDLE handle) const noexcept { ::CloseServiceHandle(handle); }
};
using UniqueService = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceCloser>;

// The service manager's key, the same for 32-bit and 64-bit processes.
UniqueKey OpenServiceKey(REGSAM access, LSTATUS* status = nullptr) {
    HKEY key = nullptr;
    const LSTATUS opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, access | KEY_WOW64_64KEY, &key);
    if (status) {
        *status = opened;
    }
    return UniqueKey{opened == ERROR_SUCCESS ? key : nullptr};
}

// The service, made with these settings or set to them.
bool MakeService(const Text& program) {
    const UniqueService manager{::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE)};
    const Text command = L"\"" + program + L"\"";
    if (!manager || command.failed()) {
        return false;
    }
    // A service deleted by a boot program that is still stopping goes within moments.
    for (int attempt = 0;; ++attempt) {
        UniqueService service{::CreateServiceW(manager.get(), kBootServiceName, kDisplayName, SERVICE_CHANGE_CONFIG,
                                               SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                               command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr)};
        DWORD error = service ? ERROR_SUCCESS : ::GetLastError();
        if (error == ERROR_SERVICE_EXISTS) {
            service.reset(::OpenServiceW(manager.get(), kBootServiceName, SERVICE_CHANGE_CONFIG));
            error = service && ::ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                                      SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                                      nullptr, L"LocalSystem", nullptr, kDisplayName)
                        ? ERROR_SUCCESS
                        : ::GetLastError();
        }
        if (error == ERROR_SUCCESS) {
            SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(kDescription)};
            ::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
            return true;
        }
        if (error != ERROR_SERVICE_MARKED_FOR_DELETE || attempt == 100) {
            return false;
        }
        ::Sleep(100);
    }
}

// Takes a deletion of the boot program that its last run queued out of the
// restart queue: a new program written now would go with it.
bool DropQueuedDeletion(const Text& program) {
    return EditRestartMoves(
        [&](const wchar_t* source, const wchar_t* target) {
            return *target == L'\0' && ::_wcsicmp(source, program.c_str()) == 0;
        },
        [](const wchar_t*) {});
}

// Ends the pending work: its record, then its service (which Windows removes
// once it has stopped).
void RemoveBootService() {
    // The record goes first: a boot program waiting for the lock then finds no work.
    if (const UniqueKey key = OpenServiceKey(KEY_SET_VALUE)) {
        ::RegDeleteValueW(key.get(), kFailedStartsValue);
    }
    const UniqueService manager{::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};
    const UniqueService service{manager ? ::OpenServiceW(manager.get(), kBootServiceName, DELETE) : nullptr};
    if (service) {
        ::DeleteService(service.get());
    }
}

}  // namespace

Text BootProgramPath() {
    const Text folder = GetSystemFolder();
    return folder.empty() ? folder : folder + L"setup_orbel_boot.exe";
}

bool ReadFailedStarts(DWORD& failed, bool& pending) {
    failed = 0;
    pending = false;
    LSTATUS opened = ERROR_SUCCESS;
    const UniqueKey key = OpenServiceKey(KEY_QUERY_VALUE, &opened);
    if (!key) {
        return opened == ERROR_FILE_NOT_FOUND;
    }
    DWORD value = 0;
    DWORD size = sizeof value;
    const LSTATUS status =
        ::RegGetValueW(key.get(), nullptr, kFailedStartsValue, RRF_RT_REG_DWORD, nullptr, &value, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    // A value of another type or size counts as no failed start yet; the next write mends it.
    pending = true;
    failed = status == ERROR_SUCCESS ? value : 0;
    return true;
}

bool WriteFailedStarts(DWORD failed) {
    const UniqueKey key = OpenServiceKey(KEY_SET_VALUE);
    return key && ::RegSetValueExW(key.get(), kFailedStartsValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&failed),
                                   sizeof failed) == ERROR_SUCCESS;
}

bool ArrangeBootRegistration() {
    const Text program = BootProgramPath();
    if (program.empty() || program.failed() || !DropQueuedDeletion(program)) {
        return false;
    }
    LoadedPayload loaded;
    if (!LoadPayload(kBootProgramResource, loaded) || PlaceFile(loaded.payload, program) == RowState::kFailed) {
        return false;
    }
    // A later 3010 starts the count anew: its files are other files.
    return MakeService(program) && WriteFailedStarts(0);
}

void RemoveBootRegistration() {
    const Text program = BootProgramPath();
    // The usual case, nothing pending, asks the service manager nothing.
    if (program.empty() || (!OpenServiceKey(KEY_QUERY_VALUE) && !TargetExists(program))) {
        return;
    }
    RemoveBootWork(program);
}

void RemoveBootWork(const Text& program) {
    RemoveBootService();
    if (program.empty()) {
        return;
    }
    // A program that runs (the boot program itself) cannot be deleted: it goes at the next start.
    if (::DeleteFileW(program.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND) {
        DropQueuedDeletion(program);
    } else {
        ::MoveFileExW(program.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
}

}  // namespace orbel
