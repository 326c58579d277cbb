// Windows' reference counts of shared files: see shared_count.h.

#include "shared_count.h"

#include <sddl.h>

#include "winsvc/unique.h"
#include "winsvc/winsvc.h"

namespace orbel {
namespace {

// HKLM\subKey in the 32-bit view, made if absent.
UniqueKey OpenCountKey(const wchar_t* subKey, SECURITY_ATTRIBUTES* attributes) {
    HKEY key = nullptr;
    const LSTATUS status =
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_32KEY, attributes, &key, nullptr);
    return UniqueKey{status == ERROR_SUCCESS ? key : nullptr};
}

enum class CountState { kAbsent, kRead, kForeign };

// Others write this key too, not always well: only a 4-byte REG_DWORD is a count.
CountState ReadCount(HKEY key, const Text& name, DWORD& count) {
    DWORD type = REG_NONE;
    DWORD size = sizeof count;
    const LSTATUS status =
        ::RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&count), &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        return CountState::kAbsent;
    }
    return status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof count ? CountState::kRead
                                                                                 : CountState::kForeign;
}

bool SetDword(HKEY key, const Text& name, DWORD value) {
    return ::RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                            sizeof value) == ERROR_SUCCESS;
}

bool CountName(HKEY counts, HKEY counted, const Text& name, bool existedBefore) {
    if (name.failed()) {
        return false;
    }
    DWORD count = 0;
    const CountState state = ReadCount(counts, name, count);
    // A string or a blob is another program's notion of a count: overwritten,
    // its holders' share would be lost.
    if (state == CountState::kForeign) {
        return false;
    }
    const bool recorded = ::RegQueryValueExW(counted, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    // Counted by an earlier run, and still held: ours is in it. A count gone
    // or at 0 was taken down to nothing by others, ours with it.
    if (recorded && state == CountState::kRead && count > 0) {
        return true;
    }
    DWORD next = 1;
    if (state == CountState::kRead) {
        // At its maximum a count stays there: wrapped, it would free the file.
        next = count == MAXDWORD ? count : count + 1;
    } else if (existedBefore && !recorded) {
        // A file already there without a count belongs to an installer that
        // did not count: one for it, one for us, so our removal leaves it.
        next = 2;
    }
    // The count first: killed in between, a later run counts again, and the
    // file is kept one removal longer rather than deleted one too early.
    return SetDword(counts, name, next) && SetDword(counted, name, 1);
}

}  // namespace

bool CountSharedFile(const Text& targetPath, bool existedBefore) {
    // Administrators and SYSTEM may change the record, everyone else only read it:
    // no standard user can make a run count again, or never.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;CI;KA;;;BA)(A;CI;KA;;;SY)(A;CI;KR;;;BU)",
                                                           SDDL_REVISION_1, &descriptor, nullptr);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const UniqueKey counted = OpenCountKey(kCountedKey, descriptor ? &attributes : nullptr);
    ::LocalFree(descriptor);
    const UniqueKey counts = OpenCountKey(kSharedDllsKey, nullptr);
    if (!counted || !counts) {
        return false;
    }
    bool taken = CountName(counts.get(), counted.get(), targetPath, existedBefore);
    // On 64-bit Windows a 32-bit installer also reaches SysWOW64 as System32,
    // which WOW64 redirects there; installers that write through it count the
    // file under that name, Windows Installer under SysWOW64. Each name is a
    // count of its own, read by its own uninstallers.
    if (IsWow64()) {
        Text folder = FolderPart(targetPath);
        folder.pop_back();
        const Text alias = FolderPart(folder) + L"System32\\" + FileNamePart(targetPath);
        taken = CountName(counts.get(), counted.get(), alias, existedBefore) && taken;
    }
    return taken;
}

}  // namespace orbel
