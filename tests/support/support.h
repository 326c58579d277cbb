// Helpers for the tests: independent oracles for what Windows shows, and ways
// to set up the situations the installer meets.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "winsvc/text.h"
#include "winsvc/unique.h"

namespace orbel::test {

// ---- Text and paths ----
inline Text ToText(const std::wstring& text) {
    return Text(text.c_str(), text.size());
}
inline std::wstring Wide(const Text& text) {
    return std::wstring(text.c_str(), text.size());
}
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);
std::wstring Upper(std::wstring text);
// A path given by the build (a Unix path in an environment variable), as Wine's Z: drive names it.
std::wstring BuildPath(const char* variable);
std::wstring Quoted(const std::wstring& text);

// ---- The Windows the test runs on, asked directly ----
bool OnWow64();
// The 32-bit system folder, with one trailing backslash, from GetSystemWow64DirectoryW or GetSystemDirectoryW.
std::wstring SystemFolder32();
// The folder where the 32-bit libraries must not go: the 64-bit System32 on
// 64-bit Windows, seen past WOW64's redirection; <Windows>\SysWOW64\ on 32-bit Windows.
std::wstring OtherSystemFolder();

// ---- Files ----
bool Exists(const std::wstring& path);
std::vector<BYTE> ReadBytes(const std::wstring& path, bool* ok = nullptr);
bool WriteBytes(const std::wstring& path, const std::vector<BYTE>& bytes);
bool WriteText(const std::wstring& path, const std::string& text);
std::vector<BYTE> Bytes(const std::string& text);
std::vector<std::string> ReadLines(const std::wstring& path);
// Names (not paths) of the entries of folder that match pattern.
std::vector<std::wstring> FindNames(const std::wstring& folder, const std::wstring& pattern);
// Opens path with share mode 0 and keeps it so for the life of the handle.
UniqueHandle HoldExclusively(const std::wstring& path);
bool CanOpenExclusively(const std::wstring& path);
// Makes a folder with a unique name under the temporary folder, removed with all it holds.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // The folder's path with a trailing backslash.
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};
void RemoveTree(const std::wstring& path);

// ---- Processes ----
constexpr DWORD kTimedOut = 0xFFFFFFFE;
constexpr DWORD kNotStarted = 0xFFFFFFFD;
// Runs commandLine and answers its full exit code; kTimedOut (after killing it)
// or kNotStarted. Its standard output goes to outputPath when one is given.
DWORD Run(const std::wstring& commandLine, DWORD timeoutMs = 180000, const std::wstring& outputPath = {});
// A started process; the handle is null if it could not be started.
struct Child {
    UniqueHandle process;
    DWORD id = 0;
};
Child Start(const std::wstring& commandLine);
// This test program's own path, and a loaded module's.
std::wstring SelfPath();
std::wstring ModulePath(HMODULE module);

// Sets an environment variable for this process and its children, and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, const std::wstring& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::wstring name_;
    std::wstring old_;
    bool had_;
};

// ---- Registration ----
// Wine takes its own builtin module for a native file named like one (msxml6.dll,
// regsvr32.exe) unless its registry says otherwise. The processes this test
// starts read that setting from the registry; WINEDLLOVERRIDES set from inside
// Windows does not reach them.
class NativeOverride {
public:
    // Native only, or as order gives it ("native,builtin").
    explicit NativeOverride(const wchar_t* module, const wchar_t* order = L"native");
    ~NativeOverride();
    NativeOverride(const NativeOverride&) = delete;
    NativeOverride& operator=(const NativeOverride&) = delete;

private:
    std::wstring module_;
};
// Puts the stand-in registration tool in place of folder's regsvr32.exe.
// Each run then appends its command line to logPath and exits with exitCode.
class FakeRegsvr32 {
public:
    FakeRegsvr32(const std::wstring& folder, const std::wstring& logPath, DWORD exitCode = 0);
    std::vector<std::string> Commands() const { return ReadLines(logPath_); }

private:
    std::wstring logPath_;
    NativeOverride native_;
    ScopedEnv log_;
    ScopedEnv exit_;
};

// ---- Moves queued for the next start ----
// The targets of the moves in PendingFileRenameOperations whose source is path, as stored ("!\??\C:\...").
std::vector<std::wstring> QueuedTargetsOf(const std::wstring& path);
// How many queued moves have target (without its prefixes) as their target.
size_t QueuedMovesOnto(const std::wstring& target);
// A value of HKLM\subKey as stored, byte for byte, and its type, in the registry
// view that view selects (0: this process's own); present is false if there is none.
std::vector<BYTE> RawMachineValue(const std::wstring& subKey, const wchar_t* name, bool* present, DWORD* type,
                                  REGSAM view = 0);
// Sets it, making the key if absent.
bool SetRawMachineValue(const std::wstring& subKey, const wchar_t* name, const std::vector<BYTE>& value, DWORD type,
                        REGSAM view = 0);
// The two restart queues' values, in the order Windows carries them out.
constexpr const wchar_t* kQueueValues[] = {L"PendingFileRenameOperations", L"PendingFileRenameOperations2"};
// A queue's value as stored, byte for byte, and its type; present is false if there is none.
std::vector<BYTE> RawQueue(bool* present, DWORD* type, const wchar_t* value = kQueueValues[0]);
bool SetRawQueue(const std::vector<BYTE>& bytes, DWORD type = REG_MULTI_SZ, const wchar_t* value = kQueueValues[0]);
// Fails the test for every temporary file of the installer in folder that is not queued to replace its target.
void ExpectNoStrayTemps(const std::wstring& folder);

// The string value name (default if empty) of HKLM\subKey in the registry view
// that view selects (KEY_WOW64_32KEY or KEY_WOW64_64KEY); found is false if absent.
std::wstring ReadMachineString(const std::wstring& subKey, REGSAM view, bool* found,
                               const wchar_t* name = nullptr);

}  // namespace orbel::test
