#include "winsvc/winsvc.h"

#include "winsvc/unique.h"

#include <sddl.h>

#include <cstring>

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

DWORD RunCommand(const Text& commandLine, WORD showWindow, bool wait, DWORD limitMs) {
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
                          CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, nullptr, nullptr,
                          &startup, &info)) {
        return kRunFailed;
    }
    // Declared thread first, so that the process handle is closed first.
    const UniqueHandle thread{info.hThread};
    const UniqueHandle process{info.hProcess};
    // In a job of its own, so that what it starts can be ended with it. A
    // Windows that nests no jobs (before 8, inside another job) refuses; then
    // only the child itself can be ended.
    const UniqueHandle job{::CreateJobObjectW(nullptr, nullptr)};
    const bool inJob = job && ::AssignProcessToJobObject(job.get(), process.get());
    ::ResumeThread(thread.get());
    if (!wait) {
        return 0;
    }
    if (::WaitForSingleObject(process.get(), limitMs) == WAIT_TIMEOUT) {
        if (!inJob || !::TerminateJobObject(job.get(), kRunTimedOut)) {
            ::TerminateProcess(process.get(), kRunTimedOut);
        }
        ::WaitForSingleObject(process.get(), INFINITE);
        return kRunTimedOut;
    }
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

InstallLock::InstallLock(const Text& path, DWORD waitMs) {
    // Another run may let go at any moment; look again this often.
    constexpr DWORD kPollMs = 250;
    if (path.empty() || path.failed()) {
        held_ = true;
        return;
    }
    // Administrators and SYSTEM, nobody else, and nothing inherited from the folder.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;BA)(A;;FA;;;SY)", SDDL_REVISION_1,
                                                           &descriptor, nullptr);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const ULONGLONG deadline = ::GetTickCount64() + waitMs;
    for (;;) {
        // Never deleted: a file deleted on close stays delete-pending, refusing
        // every open, while any handle to it lives, and anyone who may list
        // the folder may hold one that asks for attributes only.
        file_.reset(OwnedOrNull(::CreateFileW(path.c_str(), GENERIC_READ, 0, descriptor ? &attributes : nullptr,
                                              OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr)));
        const DWORD error = ::GetLastError();
        const ULONGLONG now = ::GetTickCount64();
        // Held by another run. An open for attributes only takes part in no
        // sharing, so nothing a standard user may open can look like this.
        const bool busy = error == ERROR_SHARING_VIOLATION;
        if (file_ || !busy || now >= deadline) {
            held_ = file_ || !busy;
            break;
        }
        const ULONGLONG left = deadline - now;
        ::Sleep(left < kPollMs ? static_cast<DWORD>(left) : kPollMs);
    }
    ::LocalFree(descriptor);
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

#ifdef ORBEL_TEST_QUEUE_SEAM
void (*queueEditSeam)() = nullptr;
#endif

bool ReadRestartQueue(const wchar_t* name, QueueValue& value) {
    value = QueueValue();
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    bool ok = false;
    // Another program may make the value longer between asking its size and reading it.
    for (int attempt = 0; attempt < 4 && !ok; ++attempt) {
        DWORD type = 0;
        DWORD bytes = 0;
        LSTATUS status = ::RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes);
        if (status == ERROR_FILE_NOT_FOUND) {
            ok = true;
            break;
        }
        if (status != ERROR_SUCCESS || type != REG_MULTI_SZ) {
            break;
        }
        // Zeroed beyond the value: a last string without its NUL still ends.
        value.bytes.reset(static_cast<unsigned char*>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, bytes + 4)));
        if (!value.bytes) {
            break;
        }
        status = ::RegQueryValueExW(key, name, nullptr, &type, value.bytes.get(), &bytes);
        value.size = bytes;
        ok = status == ERROR_SUCCESS && type == REG_MULTI_SZ;
        if (status != ERROR_MORE_DATA && !ok) {
            break;
        }
    }
    ::RegCloseKey(key);
    if (!ok) {
        value = QueueValue();
    }
    return ok;
}

bool WriteRestartQueue(const wchar_t* name, const unsigned char* bytes, size_t size) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    const LSTATUS status = QueueValueIsEmpty(bytes, size)
                               ? ::RegDeleteValueW(key, name)
                               : ::RegSetValueExW(key, name, 0, REG_MULTI_SZ, bytes, static_cast<DWORD>(size));
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool SameQueueValue(const QueueValue& a, const QueueValue& b) {
    return a.size == b.size && (a.size == 0 || std::memcmp(a.bytes.get(), b.bytes.get(), a.size) == 0);
}

}  // namespace orbel
