// Times command lines from inside Windows: runs each line of a UTF-8 file in
// turn, waiting for each, and writes the seconds from the first start to the
// last end, then each exit code in full, to a result file.
//
//   stopwatch.exe <result-file> <command-file>

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

std::string ReadFile(const wchar_t* path) {
    std::string bytes;
    const HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return bytes;
    }
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
    }
    ::CloseHandle(file);
    return bytes;
}

std::wstring Widen(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    wide.resize(::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                      static_cast<int>(wide.size())));
    return wide;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (!argv || argc != 3) {
        return 2;
    }
    std::vector<std::wstring> commands;
    std::string line;
    for (char c : ReadFile(argv[2]) + "\n") {
        if (c == '\n') {
            if (!line.empty()) {
                commands.push_back(Widen(line));
            }
            line.clear();
        } else if (c != '\r') {
            line += c;
        }
    }
    LARGE_INTEGER frequency, started, ended;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&started);
    std::string codes;
    for (std::wstring& command : commands) {
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
        codes += " " + std::to_string(exitCode);
    }
    ::QueryPerformanceCounter(&ended);
    const double seconds = static_cast<double>(ended.QuadPart - started.QuadPart) / frequency.QuadPart;
    char text[64];
    ::wsprintfA(text, "%lu.%06lu", static_cast<unsigned long>(seconds),
                static_cast<unsigned long>((seconds - static_cast<unsigned long>(seconds)) * 1e6));
    const std::string result = std::string(text) + codes + "\n";
    const HANDLE out = ::CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(out, result.data(), static_cast<DWORD>(result.size()), &written, nullptr);
    ::CloseHandle(out);
    return 0;
}
