// The operating-system services the installer needs beyond files and
// resources. None of them keeps state: every call asks Windows anew.
#pragma once

#include <windows.h>

#include "winsvc/text.h"
#include "winsvc/unique.h"

namespace orbel {

// RunCommand's answer when the child cannot be started.
constexpr DWORD kRunFailed = 0xFFFFFFFF;
// The longest command line RunCommand accepts, in UTF-16 units without the NUL.
constexpr size_t kMaxCommandLine = 512;

// True when this 32-bit process runs under WOW64, that is on 64-bit Windows.
bool IsWow64();

// The folder for 32-bit system libraries, with one trailing backslash:
// <Windows>\System32\ on 32-bit Windows, <Windows>\SysWOW64\ on 64-bit Windows.
// Empty if Windows does not name its directory or there is no memory for it.
Text GetSystemFolder();

// Starts commandLine as a child process and, if wait is set, waits for it and
// answers its exit code. kRunFailed if it cannot be started or is too long.
DWORD RunCommand(const Text& commandLine, WORD showWindow, bool wait);

// True when Windows Resource Protection owns path, as SfcIsFileProtected in
// the system folder's sfc.dll answers; false where there is no such function.
bool IsProtectedSystemFile(const Text& path);

// Keeps search for DLLs loaded by name to the system folder, so that an
// elevated program started from a downloads folder loads none planted there.
void RestrictDllSearch();

// A machine-wide named mutex, held from construction until destruction.
// Waits at most waitMs for it; one a killed holder left abandoned is taken
// over. Where the name cannot be opened as a mutex (another kind of object
// has it, or access is refused) it tries again until waitMs has passed, and
// is then not held.
class InstallLock {
public:
    InstallLock(const wchar_t* name, DWORD waitMs);
    ~InstallLock();
    InstallLock(const InstallLock&) = delete;
    InstallLock& operator=(const InstallLock&) = delete;
    bool held() const { return held_; }

private:
    UniqueHandle mutex_;
    bool held_ = false;
};

// The moves Windows carries out at its next start (MoveFileExW with
// MOVEFILE_DELAY_UNTIL_REBOOT), each a source and a target path without the
// "\??\" and "!" prefixes the queue stores. Calls drop(source, target) for each
// queued move and takes out of the queue those it answers true for. False if
// the queue could not be read or written.
template <typename Drop>
bool EditRestartMoves(Drop drop);

// The queue's raw value, a list of NUL-terminated strings; empty if there is none.
Text ReadRestartMoves(bool* ok);
bool WriteRestartMoves(const Text& moves);
const wchar_t* BareQueuedPath(const wchar_t* path);

template <typename Drop>
bool EditRestartMoves(Drop drop) {
    bool ok = false;
    const Text moves = ReadRestartMoves(&ok);
    if (!ok) {
        return false;
    }
    Text kept;
    bool changed = false;
    for (size_t at = 0; at < moves.size();) {
        const wchar_t* source = moves.c_str() + at;
        const size_t sourceLength = Text(source).size();
        if (sourceLength == 0 || at + sourceLength + 1 >= moves.size()) {
            break;
        }
        const wchar_t* target = source + sourceLength + 1;
        const size_t pairLength = sourceLength + 1 + Text(target).size() + 1;
        if (drop(BareQueuedPath(source), BareQueuedPath(target))) {
            changed = true;
        } else {
            kept += Text(source, pairLength);
        }
        at += pairLength;
    }
    return !changed || (!kept.failed() && WriteRestartMoves(kept));
}

}  // namespace orbel
