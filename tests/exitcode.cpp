// Runs a program and writes its whole exit code, in decimal, to a file: wine
// hands the shell only the low byte.
//
//   orbel_exitcode.exe <result-file> <program> [arguments...]

#include <windows.h>
#include <shellapi.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (!argv || argc < 3) {
        return 2;
    }
    std::wstring command;
    for (int i = 2; i < argc; ++i) {
        command += (i > 2 ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    DWORD exitCode = 0xFFFFFFFF;
    if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        ::WaitForSingleObject(info.hProcess, INFINITE);
        ::GetExitCodeProcess(info.hProcess, &exitCode);
        ::CloseHandle(info.hThread);
        ::CloseHandle(info.hProcess);
    }
    const std::string text = std::to_string(exitCode) + "\n";
    const HANDLE result = ::CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(result, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(result);
    return 0;
}
