// A stand-in for regsvr32.exe: records the command line it was given, one line
// per run, and exits with a chosen code.
//
//   ORBEL_FAKE_REGSVR32_LOG   file the command line is appended to (UTF-8)
//   ORBEL_FAKE_REGSVR32_EXIT  exit code, 0 if unset
//   ORBEL_FAKE_REGSVR32_DELAY_MS  how long it takes after recording, 0 if unset
//   ORBEL_FAKE_REGSVR32_HANG_ON   never ends when its command line holds this text
//   ORBEL_FAKE_REGSVR32_SPAWN     if set, one that never ends first starts a copy
//                                 of itself that never ends either
//   ORBEL_FAKE_REGSVR32_HOLD      a file it opens with no sharing first and keeps
//                                 open until it ends (as another run holds a lock)
//   ORBEL_FAKE_REGSVR32_REGISTER  if set, it also registers the last quoted path
//                                 as regsvr32 does (DllRegisterServer), and a
//                                 failure makes the exit code 5 unless one is chosen

#include <windows.h>

#include <cwchar>
#include <cstdlib>
#include <string>

// LoadLibrary and DllRegisterServer on the path between the last two quotes.
bool Register(const wchar_t* commandLine) {
    std::wstring line = commandLine;
    const size_t close = line.rfind(L'"');
    const size_t open = close == std::wstring::npos || close == 0 ? std::wstring::npos : line.rfind(L'"', close - 1);
    if (open == std::wstring::npos) {
        return false;
    }
    const HMODULE module = ::LoadLibraryExW(line.substr(open + 1, close - open - 1).c_str(), nullptr,
                                            LOAD_WITH_ALTERED_SEARCH_PATH);
    using RegisterFn = HRESULT(STDAPICALLTYPE*)();
    const auto registerServer =
        module ? reinterpret_cast<RegisterFn>(reinterpret_cast<void (*)()>(::GetProcAddress(module, "DllRegisterServer")))
               : nullptr;
    return registerServer && SUCCEEDED(registerServer());
}

// Whether the variable is set and fits in value.
bool Variable(const wchar_t* name, wchar_t (&value)[MAX_PATH]) {
    const DWORD length = ::GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH;
}

// A copy of this program that records nothing and never ends, as a
// registration's own helper process might.
void SpawnEndlessChild() {
    wchar_t self[MAX_PATH];
    if (::GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) {
        return;
    }
    ::SetEnvironmentVariableW(L"ORBEL_FAKE_REGSVR32_CHILD", L"1");
    std::wstring command = L"\"" + std::wstring(self) + L"\" child";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        ::CloseHandle(info.hThread);
        ::CloseHandle(info.hProcess);
    }
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t value[MAX_PATH];
    if (Variable(L"ORBEL_FAKE_REGSVR32_CHILD", value)) {
        ::Sleep(INFINITE);
    }
    if (Variable(L"ORBEL_FAKE_REGSVR32_HOLD", value)) {
        ::CreateFileW(value, GENERIC_READ, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    const bool exitChosen = Variable(L"ORBEL_FAKE_REGSVR32_EXIT", value);
    DWORD exitCode = exitChosen ? std::wcstoul(value, nullptr, 10) : 0;
    DWORD delay = Variable(L"ORBEL_FAKE_REGSVR32_DELAY_MS", value) ? std::wcstoul(value, nullptr, 10) : 0;
    if (!Variable(L"ORBEL_FAKE_REGSVR32_LOG", value)) {
        ::Sleep(delay);
        return static_cast<int>(exitCode);
    }
    const wchar_t* commandLine = ::GetCommandLineW();
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, commandLine, -1, nullptr, 0, nullptr, nullptr);
    std::string line(bytes > 0 ? bytes - 1 : 0, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, commandLine, -1, line.data(), bytes, nullptr, nullptr);
    line += '\n';
    // Appending runs may overlap when two installers run at once; share the file.
    const HANDLE log = ::CreateFileW(value, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ::WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        ::CloseHandle(log);
    }
    if (Variable(L"ORBEL_FAKE_REGSVR32_HANG_ON", value) && std::wcsstr(commandLine, value)) {
        delay = INFINITE;
        if (Variable(L"ORBEL_FAKE_REGSVR32_SPAWN", value)) {
            SpawnEndlessChild();
        }
    }
    ::Sleep(delay);
    if (Variable(L"ORBEL_FAKE_REGSVR32_REGISTER", value) && !Register(commandLine) && !exitChosen) {
        exitCode = 5;
    }
    return static_cast<int>(exitCode);
}
