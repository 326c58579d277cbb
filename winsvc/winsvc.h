// The operating-system services the installer needs beyond files and
// resources. None of them keeps state: every call asks Windows anew.
#pragma once

#include <windows.h>

#include "winsvc/queue_edit.h"
#include "winsvc/text.h"
#include "winsvc/unique.h"

namespace orbel {

// RunCommand's answers when the child cannot be started, and when it was
// ended for running past its limit.
constexpr DWORD kRunFailed = 0xFFFFFFFF;
constexpr DWORD kRunTimedOut = 0xFFFFFFFE;
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
// A child still running after limitMs is ended, with what it started, and
// the answer is kRunTimedOut.
DWORD RunCommand(const Text& commandLine, WORD showWindow, bool wait, DWORD limitMs = INFINITE);

// True when Windows Resource Protection owns path, as SfcIsFileProtected in
// the system folder's sfc.dll answers; false where there is no such function.
bool IsProtectedSystemFile(const Text& path);

// Keeps search for DLLs loaded by name to the system folder, so that an
// elevated program started from a downloads folder loads none planted there.
void RestrictDllSearch();

// One install at a time: the lock file at path, opened with no sharing, held
// from construction until destruction, and left in place. Made where only
// administrators can make files, with a descriptor that lets only
// Administrators and SYSTEM open it for more than its attributes, so no
// standard user can take it or strand it; a killed holder's handle is closed
// by Windows. Waits at most waitMs while another process holds it. One that
// cannot be opened for any other reason (no such folder) does not stop a run.
class InstallLock {
public:
    InstallLock(const Text& path, DWORD waitMs);
    InstallLock(const InstallLock&) = delete;
    InstallLock& operator=(const InstallLock&) = delete;
    // False only when another process held the lock for the whole wait.
    bool held() const { return held_; }

private:
    UniqueHandle file_;
    bool held_ = false;
};

// The values under Session Manager whose moves Windows makes at its next
// start: MoveFileExW writes the first, other programs write the second too.
inline constexpr const wchar_t* kRestartQueues[] = {L"PendingFileRenameOperations",
                                                    L"PendingFileRenameOperations2"};

// A restart queue's raw value on the process heap.
struct QueueValue {
    std::unique_ptr<unsigned char, HeapFreer> bytes;
    size_t size = 0;
};
// False if the queue could not be read; a queue without a value reads as empty.
bool ReadRestartQueue(const wchar_t* name, QueueValue& value);
// Makes value the queue's value; deletes the value when it lists nothing.
bool WriteRestartQueue(const wchar_t* name, const unsigned char* bytes, size_t size);
bool SameQueueValue(const QueueValue& a, const QueueValue& b);

#ifdef ORBEL_TEST_QUEUE_SEAM
// Called between an edit's reading of the queue and its check before writing:
// a test queues another program's move there.
extern void (*queueEditSeam)();
#endif

// The moves Windows carries out at its next start (MoveFileExW with
// MOVEFILE_DELAY_UNTIL_REBOOT, and others' in the second value).
// visit(source, target) sees each queued move, both paths bare
// (BareQueuedPath), in order, the first value's first. False if a queue could
// not be read; the moves of the other are still seen.
template <typename Visit>
bool ForEachRestartMove(Visit visit);

// Takes the moves that drop(source, target) answers true for out of both
// queues, and every other byte of each stays as it was; then calls dropped(source) for
// each move taken out. drop must be quick and answer alike when asked again:
// another program may queue a move while this one edits, so the queue is read
// again just before it is written, and the edit starts over if it changed.
// False if a queue could not be read or written; the other is still edited.
template <typename Drop, typename Dropped>
bool EditRestartMoves(Drop drop, Dropped dropped);

namespace detail {
// The bare source and target of a move, as wide strings inside value.
template <typename Use>
auto WithPaths(const QueueValue& value, const QueuedMove& move, Use use) {
    const auto* source = reinterpret_cast<const wchar_t*>(value.bytes.get() + move.source);
    const auto* target = reinterpret_cast<const wchar_t*>(value.bytes.get() + move.target);
    return use(BareQueuedPath(source), BareQueuedPath(target));
}
constexpr int kQueueEditTries = 8;
}  // namespace detail

template <typename Visit>
bool ForEachRestartMove(Visit visit) {
    bool read = true;
    for (const wchar_t* name : kRestartQueues) {
        QueueValue value;
        if (!ReadRestartQueue(name, value)) {
            read = false;
            continue;
        }
        EditQueueValue(value.bytes.get(), value.size, nullptr, [&](const QueuedMove& move) {
            detail::WithPaths(value, move, visit);
            return false;
        });
    }
    return read;
}

namespace detail {
template <typename Drop, typename Dropped>
bool EditRestartQueue(const wchar_t* name, Drop& drop, Dropped& dropped) {
    for (int attempt = 0; attempt < kQueueEditTries; ++attempt) {
        QueueValue value;
        if (!ReadRestartQueue(name, value)) {
            return false;
        }
        const auto decide = [&](const QueuedMove& move) { return WithPaths(value, move, drop); };
        QueueValue edited;
        edited.bytes.reset(static_cast<unsigned char*>(::HeapAlloc(::GetProcessHeap(), 0, value.size + 1)));
        if (!edited.bytes) {
            return false;
        }
        edited.size = EditQueueValue(value.bytes.get(), value.size, edited.bytes.get(), decide);
        if (edited.size == value.size) {
            return true;
        }
#ifdef ORBEL_TEST_QUEUE_SEAM
        if (queueEditSeam) {
            queueEditSeam();
        }
#endif
        QueueValue now;
        if (!ReadRestartQueue(name, now)) {
            return false;
        }
        if (!SameQueueValue(value, now)) {
            continue;
        }
        if (!WriteRestartQueue(name, edited.bytes.get(), edited.size)) {
            return false;
        }
        EditQueueValue(value.bytes.get(), value.size, nullptr, [&](const QueuedMove& move) {
            const bool out = decide(move);
            if (out) {
                WithPaths(value, move, [&](const wchar_t* source, const wchar_t*) { dropped(source); });
            }
            return out;
        });
        return true;
    }
    return false;
}
}  // namespace detail

template <typename Drop, typename Dropped>
bool EditRestartMoves(Drop drop, Dropped dropped) {
    bool edited = true;
    for (const wchar_t* name : kRestartQueues) {
        edited = detail::EditRestartQueue(name, drop, dropped) && edited;
    }
    return edited;
}

}  // namespace orbel
