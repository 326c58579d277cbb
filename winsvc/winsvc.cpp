#include "winsvc/winsvc.h"

#include "winsvc/unique.h"

namespace orbel {
namespace {

constexpr UINT kWindowsDirectoryCapacity = 145;

// GetWindowsDirectoryW, not the system-directory query: the latter would name
// the 64-bit System32 on 64-bit Windows. Empty on failure.
Text ReadWindowsDirectory() {
    wchar_t buffer[kWindowsDirectoryCapacity];
    const UINT length = ::GetWindowsDirectoryW(buffer, kWindowsDirectoryCapacity);
    if (length < kWindowsDirectoryCapacity) {
        return Text(buffer, length);
    }
    // Too long for the buffer: length is the size needed, NUL included.
    using HeapText = std::unique_ptr<wchar_t, HeapFreer>;
    const HeapText larger{static_cast<wchar_t*>(::HeapAlloc(::GetProcessHeap(), 0, length * sizeof(wchar_t)))};
    const UINT again = larger ? ::GetWindowsDirectoryW(larger.get(), length) : 0;
    if (again == 0 || again >= length) {
        return {};
    }
    return Text(larger.get(), again);
}

bool EndsInDelimiter(const Text& path) {
    return !path.empty() && (path.back() == L'\\' || path.back() == L'/');
}

}  // namespace

bool IsWow64() {
    UniqueModule kernel32{::LoadLibraryW(L"kernel32.dll")};
    if (!kernel32) {
        return false;
    }
    // Looked up at run time: Windows before XP SP2 lacks it.
    using IsWow64ProcessFn = decltype(&::IsWow64Process);
    const auto isWow64Process = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(kernel32.get(), "IsWow64Process")));
    if (!isWow64Process) {
        return false;
    }
    BOOL wow64 = FALSE;
    isWow64Process(::GetCurrentProcess(), &wow64);
    return wow64 != FALSE;
}

Text GetSystemFolder() {
    Text windows = ReadWindowsDirectory();
    if (windows.empty()) {
        return {};
    }
    // A root such as "C:\" already ends in the delimiter the suffix brings.
    if (EndsInDelimiter(windows)) {
        windows.pop_back();
    }
    Text folder = windows + L"\\System32";
    // A 32-bit process sees WOW64 only on 64-bit Windows, whose 32-bit libraries live in SysWOW64.
    if (IsWow64()) {
        folder = windows + L"\\SysWOW64";
    }
    if (!EndsInDelimiter(folder)) {
        folder += L'\\';
    }
    return folder.failed() ? Text() : folder;
}

DWORD RunCommand(const Text& commandLine, WORD showWindow, bool wait) {
    // A cut command line could name another program than the one meant.
    if (commandLine.empty() || commandLine.size() > kMaxCommandLine || commandLine.find(L'\0') != Text::npos) {
        return kRunFailed;
    }
    // CreateProcessW may write into the command line, so it gets a copy.
    wchar_t buffer[kMaxCommandLine + 1] = {};
    for (size_t at = 0; at < commandLine.size(); ++at) {
        buffer[at] = commandLine[at];
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = showWindow;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, buffer, nullptr, nullptr, FALSE,
                          CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                          &startup, &info)) {
        return kRunFailed;
    }
    // Declared thread first, so that the process handle is closed first.
    const UniqueHandle thread{info.hThread};
    const UniqueHandle process{info.hProcess};
    if (!wait) {
        return 0;
    }
    ::WaitForSingleObject(process.get(), INFINITE);
    DWORD exitCode = kRunFailed;
    if (!::GetExitCodeProcess(process.get(), &exitCode)) {
        return kRunFailed;
    }
    return exitCode;
}

namespace {

using ProcFn = void (*)();

ProcFn Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<ProcFn>(::GetProcAddress(module, name));
}

constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kRestartMoves[] = L"PendingFileRenameOperations";

}  // namespace

bool IsProtectedSystemFile(const Text& path) {
    const Text folder = GetSystemFolder();
    if (folder.empty()) {
        return false;
    }
    // sfc.dll forwards SfcIsFileProtected to sfc_os.dll, and a forwarder's
    // target is looked for by name. Loaded first by its full path, sfc_os.dll
    // is found loaded, and no copy of it elsewhere can be. sfc goes first.
    const UniqueModule sfcOs{::LoadLibraryW((folder + L"sfc_os.dll").c_str())};
    const UniqueModule sfc{::LoadLibraryW((folder + L"sfc.dll").c_str())};
    if (!sfc) {
        return false;
    }
    using SfcIsFileProtectedFn = BOOL(WINAPI*)(HANDLE, LPCWSTR);
    const auto isProtected = reinterpret_cast<SfcIsFileProtectedFn>(Lookup(sfc.get(), "SfcIsFileProtected"));
    return isProtected && isProtected(nullptr, path.c_str());
}

InstallLock::InstallLock(const wchar_t* name, DWORD waitMs) {
    // A name held by something else may be let go; look again this often.
    constexpr DWORD kPollMs = 250;
    const ULONGLONG deadline = ::GetTickCount64() + waitMs;
    for (;;) {
        mutex_.reset(::CreateMutexW(nullptr, FALSE, name));
        if (!mutex_ && ::GetLastError() == ERROR_ACCESS_DENIED) {
            // Made by another account: waiting and releasing need no more than this.
            mutex_.reset(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name));
        }
        const ULONGLONG now = ::GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (mutex_) {
            const DWORD waited = ::WaitForSingleObject(mutex_.get(), left);
            held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
            return;
        }
        if (left == 0) {
            return;
        }
        ::Sleep(left < kPollMs ? left : kPollMs);
    }
}

InstallLock::~InstallLock() {
    if (held_) {
        ::ReleaseMutex(mutex_.get());
    }
}

void RestrictDllSearch() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    // Looked up at run time: Vista and 7 have it only with KB2533623.
    const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        Lookup(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories"));
    if (setDefaultDllDirectories) {
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
}

const wchar_t* BareQueuedPath(const wchar_t* path) {
    if (*path == L'!') {
        ++path;
    }
    if (path[0] == L'\\' && path[1] == L'?' && path[2] == L'?' && path[3] == L'\\') {
        path += 4;
    }
    return path;
}

Text ReadRestartMoves(bool* ok) {
    *ok = false;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return {};
    }
    Text moves;
    DWORD type = 0;
    DWORD bytes = 0;
    LSTATUS status = ::RegQueryValueExW(key, kRestartMoves, nullptr, &type, nullptr, &bytes);
    if (status == ERROR_FILE_NOT_FOUND) {
        *ok = true;
    } else if (status == ERROR_SUCCESS && type == REG_MULTI_SZ) {
        const size_t units = bytes / sizeof(wchar_t);
        const std::unique_ptr<wchar_t, HeapFreer> buffer{
            static_cast<wchar_t*>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, (units + 2) * sizeof(wchar_t)))};
        if (buffer && ::RegQueryValueExW(key, kRestartMoves, nullptr, &type, reinterpret_cast<BYTE*>(buffer.get()),
                                         &bytes) == ERROR_SUCCESS) {
            moves = Text(buffer.get(), bytes / sizeof(wchar_t));
            *ok = !moves.failed();
        }
    }
    ::RegCloseKey(key);
    return moves;
}

bool WriteRestartMoves(const Text& moves) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    LSTATUS status;
    if (moves.empty()) {
        status = ::RegDeleteValueW(key, kRestartMoves);
    } else {
        // The list ends in an empty string.
        const Text value = moves + Text(L"", 1);
        status = value.failed() ? ERROR_OUTOFMEMORY
                                : ::RegSetValueExW(key, kRestartMoves, 0, REG_MULTI_SZ,
                                                   reinterpret_cast<const BYTE*>(value.c_str()),
                                                   static_cast<DWORD>(value.size() * sizeof(wchar_t)));
    }
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

}  // namespace orbel
