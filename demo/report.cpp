// Runs an installer and reports what it left in the system folder: each file,
// its size, whether it holds its payload's bytes, whether its COM class is
// registered at that path, and what a script client reads from its object
// (for a plain library, what its export answers).
//
//   orbel_report.exe <installer.exe> <payload-folder> <report-file>
//
// The report goes to a file: under Wine a pipe can stay open until the
// wineserver ends.

#include <windows.h>

#include <string>
#include <vector>

#include "components.h"

namespace {

using orbel::demo::kServers;
using orbel::table::kRows;

std::string Narrow(const std::wstring& text) {
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(bytes > 0 ? bytes - 1 : 0, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, narrow.data(), bytes, nullptr, nullptr);
    return narrow;
}

bool ReadAll(const std::wstring& path, std::string& bytes) {
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER size{};
    bool read = ::GetFileSizeEx(file, &size) != 0;
    if (read) {
        bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
        DWORD got = 0;
        read = bytes.empty() || (::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) &&
                                 got == bytes.size());
    }
    ::CloseHandle(file);
    return read;
}

// Runs commandLine, its output into outputPath if given; answers the full exit code.
DWORD Run(std::wstring commandLine, const std::wstring& outputPath = {}) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE output = nullptr;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!outputPath.empty()) {
        output = ::CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output;
        startup.hStdError = output;
    }
    PROCESS_INFORMATION info{};
    DWORD exitCode = 0xFFFFFFFF;
    if (::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, output != nullptr, 0, nullptr, nullptr,
                         &startup, &info)) {
        ::WaitForSingleObject(info.hProcess, INFINITE);
        ::GetExitCodeProcess(info.hProcess, &exitCode);
        ::CloseHandle(info.hThread);
        ::CloseHandle(info.hProcess);
    }
    if (output && output != INVALID_HANDLE_VALUE) {
        ::CloseHandle(output);
    }
    return exitCode;
}

std::wstring SystemFolder32() {
    BOOL wow64 = FALSE;
    ::IsWow64Process(::GetCurrentProcess(), &wow64);
    wchar_t folder[MAX_PATH];
    const UINT length = wow64 ? ::GetSystemWow64DirectoryW(folder, MAX_PATH) : ::GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder, length) + L"\\";
}

// Where the 32-bit registry view says the class's server is; empty if it is not registered.
std::wstring RegisteredPath(const wchar_t* clsid) {
    const std::wstring subKey = std::wstring(L"Software\\Classes\\CLSID\\") + clsid + L"\\InprocServer32";
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key) !=
        ERROR_SUCCESS) {
        return {};
    }
    wchar_t value[MAX_PATH] = {};
    DWORD bytes = sizeof value - sizeof(wchar_t);
    DWORD type = 0;
    const LONG status = ::RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes);
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ ? std::wstring(value) : std::wstring{};
}

// What a script client, the system folder's own cscript.exe, reads from each server's object.
std::vector<std::string> ScriptReads(const std::wstring& folder, const std::wstring& scratch) {
    std::string script;
    for (const auto& server : kServers) {
        const std::string id = Narrow(server.progId);
        script += "try { WScript.Echo(new ActiveXObject(\"" + id +
                  "\").Name); } catch (e) { WScript.Echo(\"error: \" + e.message); }\n";
    }
    const std::wstring probe = scratch + L"orbel-probe.js";
    const std::wstring output = scratch + L"orbel-probe.txt";
    const HANDLE file = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(file, script.data(), static_cast<DWORD>(script.size()), &written, nullptr);
    ::CloseHandle(file);
    Run(L"\"" + folder + L"cscript.exe\" //nologo \"" + probe + L"\"", output);
    std::string text;
    ReadAll(output, text);
    ::DeleteFileW(probe.c_str());
    ::DeleteFileW(output.c_str());
    std::vector<std::string> lines(1);
    for (char c : text) {
        if (c == '\n') {
            lines.emplace_back();
        } else if (c != '\r') {
            lines.back() += c;
        }
    }
    return lines;
}

// What a plain library's OrbelComponentName export answers.
std::string ExportedName(const std::wstring& path) {
    const HMODULE library = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!library) {
        return "cannot load";
    }
    using NameFn = const wchar_t*(WINAPI*)();
    const auto name = reinterpret_cast<NameFn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(library, "OrbelComponentName")));
    const std::string text = name ? Narrow(name()) + " (export)" : "no export";
    ::FreeLibrary(library);
    return text;
}

std::string Pad(std::string text, size_t width) {
    if (text.size() < width) {
        text.append(width - text.size(), ' ');
    }
    return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        return 2;
    }
    const std::wstring installer = argv[1];
    const std::wstring folder = SystemFolder32();
    BOOL wow64 = FALSE;
    ::IsWow64Process(::GetCurrentProcess(), &wow64);
    const std::wstring payloads = std::wstring(argv[2]) + (wow64 ? L"\\64\\" : L"\\32\\");

    const DWORD exitCode = Run(L"\"" + installer + L"\"");
    wchar_t scratch[MAX_PATH];
    ::GetTempPathW(MAX_PATH, scratch);
    const std::vector<std::string> reads = ScriptReads(folder, scratch);

    std::string report = "setup_orbel.exe exited with " + std::to_string(exitCode) + " on " +
                         (wow64 ? "64-bit" : "32-bit") + " Windows\n\n";
    report += Pad("installed file", 46) + Pad("size", 10) + Pad("payload", 12) + Pad("registered", 12) +
              "what a client read\n";
    std::vector<std::wstring> files;
    for (const auto& row : kRows) {
        files.push_back(row.fileName);
    }
    for (size_t i = 0; i < files.size(); ++i) {
        const std::wstring target = folder + files[i];
        std::string installed;
        std::string payload;
        const bool present = ReadAll(target, installed);
        const bool same = present && ReadAll(payloads + files[i], payload) && installed == payload;
        std::string registered = "-";
        std::string read = "-";
        if (i < std::size(kServers)) {
            registered = ::lstrcmpiW(RegisteredPath(kServers[i].clsid).c_str(), target.c_str()) == 0 ? "yes" : "no";
            read = i < reads.size() ? reads[i] : "";
        } else if (present) {
            read = ExportedName(target);
        }
        report += Pad(Narrow(target), 46)  + Pad(present ? std::to_string(installed.size()) : "absent", 10) +
                  Pad(same ? "identical" : "DIFFERENT", 12) + Pad(registered, 12) + read + "\n";
    }

    const HANDLE out = ::CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(out, report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
    ::CloseHandle(out);
    return static_cast<int>(exitCode);
}
