#include "support/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>

namespace orbel::test {

std::string Narrow(const std::wstring& text) {
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                            nullptr, nullptr);
    std::string narrow(bytes, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), bytes, nullptr,
                          nullptr);
    return narrow;
}

std::wstring Widen(const std::string& text) {
    const int units = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(units, L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), units);
    return wide;
}

std::wstring Upper(std::wstring text) {
    if (!text.empty()) {
        ::CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    }
    return text;
}

std::wstring BuildPath(const char* variable) {
    const char* value = std::getenv(variable);
    if (!value || !*value) {
        ADD_FAILURE() << variable << " is not set: run the tests through ctest";
        return {};
    }
    std::wstring path = L"Z:" + Widen(value);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

std::wstring Quoted(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

bool OnWow64() {
    BOOL wow64 = FALSE;
    return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

std::wstring SystemFolder32() {
    wchar_t folder[MAX_PATH];
    const UINT length = OnWow64() ? ::GetSystemWow64DirectoryW(folder, MAX_PATH) : ::GetSystemDirectoryW(folder, MAX_PATH);
    EXPECT_GT(length, 0u);
    return std::wstring(folder, length) + L"\\";
}

std::wstring OtherSystemFolder() {
    wchar_t windows[MAX_PATH];
    const UINT length = ::GetWindowsDirectoryW(windows, MAX_PATH);
    // Sysnative is how a 32-bit process names the 64-bit System32 without being redirected.
    return std::wstring(windows, length) + (OnWow64() ? L"\\Sysnative\\" : L"\\SysWOW64\\");
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<BYTE> ReadBytes(const std::wstring& path, bool* ok) {
    std::vector<BYTE> bytes;
    const UniqueHandle file{OwnedOrNull(::CreateFileW(path.c_str(), GENERIC_READ,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))};
    LARGE_INTEGER size{};
    bool read = file && ::GetFileSizeEx(file.get(), &size);
    if (read) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        read = bytes.empty() ||
               (::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) &&
                got == bytes.size());
    }
    if (ok) {
        *ok = read;
    }
    return read ? bytes : std::vector<BYTE>{};
}

bool WriteBytes(const std::wstring& path, const std::vector<BYTE>& bytes) {
    const UniqueHandle file{OwnedOrNull(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr))};
    DWORD written = 0;
    return file && (bytes.empty() || (::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                                  &written, nullptr) &&
                                      written == bytes.size()));
}

bool WriteText(const std::wstring& path, const std::string& text) {
    return WriteBytes(path, Bytes(text));
}

std::vector<BYTE> Bytes(const std::string& text) {
    return std::vector<BYTE>(text.begin(), text.end());
}

std::vector<std::string> ReadLines(const std::wstring& path) {
    const std::vector<BYTE> bytes = ReadBytes(path);
    std::vector<std::string> lines;
    std::string line;
    for (BYTE byte : bytes) {
        if (byte == '\n') {
            lines.push_back(line);
            line.clear();
        } else if (byte != '\r') {
            line += static_cast<char>(byte);
        }
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::wstring> FindNames(const std::wstring& folder, const std::wstring& pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    const UniqueFind find{OwnedOrNull(::FindFirstFileW((folder + pattern).c_str(), &found))};
    if (!find) {
        return names;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (::FindNextFileW(find.get(), &found));
    std::sort(names.begin(), names.end());
    return names;
}

UniqueHandle HoldExclusively(const std::wstring& path) {
    return UniqueHandle{OwnedOrNull(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))};
}

bool CanOpenExclusively(const std::wstring& path) {
    return HoldExclusively(path) != nullptr;
}

TempDir::TempDir() {
    wchar_t base[MAX_PATH];
    const DWORD length = ::GetTempPathW(MAX_PATH, base);
    for (unsigned attempt = 0; path_.empty() && attempt < 100; ++attempt) {
        const std::wstring candidate = std::wstring(base, length) + L"orbel-test-" +
                                       std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(attempt);
        if (::CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = candidate + L"\\";
        }
    }
    EXPECT_FALSE(path_.empty()) << "cannot make a temporary folder";
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        RemoveTree(path_);
    }
}

void RemoveTree(const std::wstring& path) {
    std::wstring folder = path;
    if (!folder.empty() && folder.back() == L'\\') {
        folder.pop_back();
    }
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    ::SetFileAttributesW(folder.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ::DeleteFileW(folder.c_str());
        return;
    }
    for (const std::wstring& name : FindNames(folder + L"\\", L"*")) {
        RemoveTree(folder + L"\\" + name);
    }
    ::RemoveDirectoryW(folder.c_str());
}

DWORD Run(const std::wstring& commandLine, DWORD timeoutMs, const std::wstring& outputPath) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    UniqueHandle output;
    if (!outputPath.empty()) {
        output.reset(OwnedOrNull(::CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
        if (!output) {
            return kNotStarted;
        }
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (output) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output.get();
        startup.hStdError = output.get();
        startup.hStdInput = nullptr;
    }
    std::wstring buffer = commandLine;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, output != nullptr, 0, nullptr, nullptr, &startup,
                          &info)) {
        return kNotStarted;
    }
    const UniqueHandle thread{info.hThread};
    const UniqueHandle process{info.hProcess};
    if (::WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 1);
        ::WaitForSingleObject(process.get(), 10000);
        return kTimedOut;
    }
    DWORD exitCode = kNotStarted;
    ::GetExitCodeProcess(process.get(), &exitCode);
    return exitCode;
}

Child Start(const std::wstring& commandLine) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    std::wstring buffer = commandLine;
    PROCESS_INFORMATION info{};
    Child child;
    if (::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        ::CloseHandle(info.hThread);
        child.process.reset(info.hProcess);
        child.id = info.dwProcessId;
    }
    return child;
}

std::wstring SelfPath() {
    return ModulePath(nullptr);
}

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, length);
}

ScopedEnv::ScopedEnv(const wchar_t* name, const std::wstring& value) : name_(name) {
    wchar_t old[4096];
    const DWORD length = ::GetEnvironmentVariableW(name, old, 4096);
    had_ = length > 0 && length < 4096;
    if (had_) {
        old_.assign(old, length);
    }
    ::SetEnvironmentVariableW(name, value.c_str());
}

ScopedEnv::~ScopedEnv() {
    ::SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr);
}

namespace {
constexpr wchar_t kOverridesKey[] = L"Software\\Wine\\DllOverrides";
}

NativeOverride::NativeOverride(const wchar_t* module, const wchar_t* order) : module_(module) {
    HKEY key = nullptr;
    EXPECT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, kOverridesKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(::RegSetValueExW(key, module, 0, REG_SZ, reinterpret_cast<const BYTE*>(order),
                               static_cast<DWORD>((std::wcslen(order) + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    ::RegCloseKey(key);
}

NativeOverride::~NativeOverride() {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kOverridesKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        ::RegDeleteValueW(key, module_.c_str());
        ::RegCloseKey(key);
    }
}

FakeRegsvr32::FakeRegsvr32(const std::wstring& folder, const std::wstring& logPath, DWORD exitCode)
    : logPath_(logPath),
      native_(L"regsvr32.exe"),
      log_(L"ORBEL_FAKE_REGSVR32_LOG", logPath),
      exit_(L"ORBEL_FAKE_REGSVR32_EXIT", std::to_wstring(exitCode)) {
    const std::wstring fake = BuildPath("ORBEL_TEST_FAKE_REGSVR32");
    EXPECT_TRUE(::CopyFileW(fake.c_str(), (folder + L"regsvr32.exe").c_str(), FALSE))
        << "cannot put " << Narrow(fake) << " into " << Narrow(folder);
}

std::wstring ReadMachineString(const std::wstring& subKey, REGSAM view, bool* found, const wchar_t* name) {
    *found = false;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) {
        return {};
    }
    wchar_t value[1024] = {};
    DWORD bytes = sizeof value - sizeof(wchar_t);
    DWORD type = 0;
    const LONG status = ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes);
    ::RegCloseKey(key);
    *found = status == ERROR_SUCCESS && type == REG_SZ;
    return *found ? std::wstring(value) : std::wstring{};
}

namespace {
constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
}  // namespace

std::vector<BYTE> RawMachineValue(const std::wstring& subKey, const wchar_t* name, bool* present, DWORD* type,
                                  REGSAM view) {
    std::vector<BYTE> value;
    *present = false;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) {
        return value;
    }
    DWORD bytes = 0;
    if (::RegQueryValueExW(key, name, nullptr, type, nullptr, &bytes) == ERROR_SUCCESS) {
        value.resize(bytes);
        *present = ::RegQueryValueExW(key, name, nullptr, type, value.data(), &bytes) == ERROR_SUCCESS;
        value.resize(bytes);
    }
    ::RegCloseKey(key);
    return value;
}

bool SetRawMachineValue(const std::wstring& subKey, const wchar_t* name, const std::vector<BYTE>& value, DWORD type,
                        REGSAM view) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key,
                          nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG status = ::RegSetValueExW(key, name, 0, type, value.data(), static_cast<DWORD>(value.size()));
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

std::vector<BYTE> RawQueue(bool* present, DWORD* type, const wchar_t* value) {
    return RawMachineValue(kSessionManager, value, present, type);
}

bool SetRawQueue(const std::vector<BYTE>& bytes, DWORD type, const wchar_t* value) {
    return SetRawMachineValue(kSessionManager, value, bytes, type);
}

namespace {

// The queue as stored: source, target, source, target, ... ("" as a target deletes the source).
std::vector<std::wstring> QueuedPaths() {
    std::vector<std::wstring> paths;
    for (const wchar_t* name : kQueueValues) {
        bool present = false;
        DWORD type = 0;
        std::vector<BYTE> bytes = RawQueue(&present, &type, name);
        bytes.resize(bytes.size() + 4, 0);
        const wchar_t* at = reinterpret_cast<const wchar_t*>(bytes.data());
        const wchar_t* end = at + (bytes.size() - 4) / sizeof(wchar_t);
        while (present && at < end && *at != L'\0') {
            const std::wstring source(at);
            at += source.size() + 1;
            const std::wstring target(at < end ? at : L"");
            at += target.size() + 1;
            paths.push_back(source);
            paths.push_back(target);
        }
    }
    return paths;
}

// Without the queue's prefixes: "*" and its digits, "!", "\??\".
std::wstring Unprefixed(std::wstring path) {
    if (!path.empty() && path[0] == L'*') {
        path.erase(0, path.find_first_not_of(L"0123456789", 1));
    }
    if (!path.empty() && path[0] == L'!') {
        path.erase(0, 1);
    }
    return path.rfind(L"\\??\\", 0) == 0 ? path.substr(4) : path;
}

}  // namespace

std::vector<std::wstring> QueuedTargetsOf(const std::wstring& path) {
    const std::vector<std::wstring> paths = QueuedPaths();
    std::vector<std::wstring> targets;
    for (size_t i = 0; i + 1 < paths.size(); i += 2) {
        if (Upper(Unprefixed(paths[i])) == Upper(path)) {
            targets.push_back(paths[i + 1]);
        }
    }
    return targets;
}

size_t QueuedMovesOnto(const std::wstring& target) {
    const std::vector<std::wstring> paths = QueuedPaths();
    size_t count = 0;
    for (size_t i = 0; i + 1 < paths.size(); i += 2) {
        count += Upper(Unprefixed(paths[i + 1])) == Upper(target) ? 1 : 0;
    }
    return count;
}

void ExpectNoStrayTemps(const std::wstring& folder) {
    for (const std::wstring& name : FindNames(folder, L"*.orbel-*.tmp")) {
        EXPECT_FALSE(QueuedTargetsOf(folder + name).empty())
            << Narrow(name) << " was left in the system folder and replaces nothing at the next start";
    }
}

}  // namespace orbel::test
