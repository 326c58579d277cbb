#include "install_table.h"

#include "winsvc/unique.h"
#include "winsvc/winsvc.h"

namespace orbel {

Text ReplaceAll(Text text, const Text& from, const Text& to) {
    for (size_t at = text.find(from); at != Text::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

Text FormTargetPath(const Text& baseName, const Text& extension) {
    const Text folder = GetSystemFolder();
    return folder.empty() ? folder : folder + baseName + extension;
}

Text FormCommandTemplate() {
    const Text folder = GetSystemFolder();
    return folder.empty() ? folder : L"\"" + folder + L"regsvr32.exe\" /s \"" + kPlaceholder + L"\"";
}

Text InstallLockPath() {
    const Text folder = GetSystemFolder();
    return folder.empty() ? folder : folder + L"setup_orbel.lock";
}

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

}  // namespace orbel
