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

}  // namespace orbel
