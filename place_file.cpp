// Putting one payload in place of a file: see place_file.h.

#include "place_file.h"

#include "winsvc/unique.h"
#include "winsvc/winsvc.h"

#include <cstring>
#include <cwchar>
#include <iterator>

namespace orbel {
namespace {

// Temporary files are named <target>.orbel-<pid>-<n>.tmp, so that a later
// run can tell one that a killed run left behind from one still being written.
constexpr wchar_t kTempInfix[] = L".orbel-";
constexpr wchar_t kTempSuffix[] = L".tmp";
constexpr unsigned kTempAttempts = 64;
// A scanner or indexer may hold a freshly written file for a moment: a move
// refused for that is tried again, for about two seconds in all.
constexpr unsigned kMoveTries = 9;
constexpr DWORD kMoveRetryMs = 250;

DWORD Smaller(DWORD a, DWORD b) {
    return a < b ? a : b;
}

// Writes straight from the mapped image, in pieces of at most kCopyChunk bytes.
bool WriteAll(HANDLE file, const BYTE* bytes, DWORD size) {
    while (size > 0) {
        DWORD written = 0;
        if (!::WriteFile(file, bytes, Smaller(size, kCopyChunk), &written, nullptr) || written == 0) {
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

// The owner's process id, if name is one of target's temporary files.
bool ParseTempOwner(const Text& name, const Text& targetName, DWORD& owner) {
    const Text head = targetName + kTempInfix;
    const size_t tailLength = std::wcslen(kTempSuffix);
    if (head.failed()) {
        return false;
    }
    if (name.size() <= head.size() + tailLength || ::_wcsnicmp(name.c_str(), head.c_str(), head.size()) != 0 ||
        ::_wcsicmp(name.c_str() + name.size() - tailLength, kTempSuffix) != 0) {
        return false;
    }
    const wchar_t* cursor = name.c_str() + head.size();
    wchar_t* end = nullptr;
    owner = std::wcstoul(cursor, &end, 10);
    return end != cursor && *end == L'-';
}

// A process that still runs may be writing its temporary file right now,
// unless it started after the file was last written: after a restart, or once
// ids wrap, another process may carry the dead owner's id.
bool IsOwnerAlive(DWORD processId, const FILETIME& lastWritten) {
    if (processId == ::GetCurrentProcessId()) {
        return false;
    }
    const UniqueHandle process{::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId)};
    if (!process) {
        // Any answer but "no such process" may hide a live one.
        return ::GetLastError() != ERROR_INVALID_PARAMETER;
    }
    FILETIME created, exited, kernel, user;
    if (::GetProcessTimes(process.get(), &created, &exited, &kernel, &user) &&
        ::CompareFileTime(&created, &lastWritten) > 0) {
        return false;
    }
    return ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// Whether a move of path is queued for the next start; a queue that cannot be
// read may hold one, so the file is kept.
bool IsQueuedForRestart(const Text& path) {
    bool queued = false;
    const bool read = ForEachRestartMove([&](const wchar_t* source, const wchar_t*) {
        queued = queued || ::_wcsicmp(source, path.c_str()) == 0;
    });
    return queued || !read;
}

// Deletes what killed runs left of target's temporary files; one that waits
// for the next start to replace target is no leftover.
void RemoveStaleTemps(const Text& targetPath) {
    const Text folder = FolderPart(targetPath);
    const Text targetName = FileNamePart(targetPath);
    const Text pattern = targetPath + kTempInfix + L"*" + kTempSuffix;
    WIN32_FIND_DATAW found;
    const UniqueFind find{OwnedOrNull(::FindFirstFileW(pattern.c_str(), &found))};
    if (!find) {
        return;
    }
    do {
        DWORD owner = 0;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            ParseTempOwner(found.cFileName, targetName, owner) && !IsOwnerAlive(owner, found.ftLastWriteTime) &&
            !IsQueuedForRestart(folder + found.cFileName)) {
            ::DeleteFileW((folder + found.cFileName).c_str());
        }
    } while (::FindNextFileW(find.get(), &found));
}

// Creates a new temporary file beside target, exclusively: no other opener, never an existing file.
UniqueHandle CreateTempBeside(const Text& targetPath, Text& tempPath) {
    const Text head = targetPath + kTempInfix + Text::Number(::GetCurrentProcessId()) + L"-";
    for (unsigned attempt = 0; attempt < kTempAttempts; ++attempt) {
        tempPath = head + Text::Number(attempt) + kTempSuffix;
        if (tempPath.failed()) {
            return nullptr;
        }
        UniqueHandle temp{OwnedOrNull(::CreateFileW(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                    FILE_ATTRIBUTE_NORMAL, nullptr))};
        if (temp || ::GetLastError() != ERROR_FILE_EXISTS) {
            return temp;
        }
    }
    return nullptr;
}

bool IsBriefLock(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

// Moves the temporary file over target: 0, or the error of the last try.
DWORD MoveOver(const Text& tempPath, const Text& targetPath) {
    for (unsigned attempt = 1;; ++attempt) {
        if (::MoveFileExW(tempPath.c_str(), targetPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return ERROR_SUCCESS;
        }
        const DWORD error = ::GetLastError();
        if (attempt == kMoveTries || !IsBriefLock(error)) {
            return error;
        }
        ::Sleep(kMoveRetryMs);
    }
}

// Whether one of target's own temporary files is queued to replace it.
// Asked for every move of a queue that may hold thousands: compares in place.
bool IsRowMove(const wchar_t* source, const wchar_t* target, const Text& targetPath) {
    return ::_wcsicmp(target, targetPath.c_str()) == 0 &&
           ::_wcsnicmp(source, targetPath.c_str(), targetPath.size()) == 0 &&
           ::_wcsnicmp(source + targetPath.size(), kTempInfix, std::size(kTempInfix) - 1) == 0;
}

void DeleteDroppedFile(const wchar_t* source) {
    ::DeleteFileW(source);
}

// Takes this row's queued replacements out of the queue and deletes their files.
void DropRestartMoves(const Text& targetPath) {
    EditRestartMoves([&](const wchar_t* source, const wchar_t* target) { return IsRowMove(source, target, targetPath); },
                     DeleteDroppedFile);
}

// Whether path already holds exactly the payload's bytes, as on a re-run while
// an application has the library loaded and it cannot be replaced.
bool FileHoldsPayload(const Text& path, const Payload& payload) {
    const UniqueHandle file{OwnedOrNull(::CreateFileW(path.c_str(), GENERIC_READ,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))};
    LARGE_INTEGER size;
    if (!file || !::GetFileSizeEx(file.get(), &size) || size.QuadPart != payload.size) {
        return false;
    }
    // At most one chunk, and only here: the copy itself writes from the mapped image.
    const std::unique_ptr<BYTE, HeapFreer> buffer{
        static_cast<BYTE*>(::HeapAlloc(::GetProcessHeap(), 0, Smaller(payload.size, kCopyChunk) + 1))};
    if (!buffer) {
        return false;
    }
    for (DWORD offset = 0; offset < payload.size;) {
        DWORD read = 0;
        const DWORD wanted = Smaller(payload.size - offset, kCopyChunk);
        if (!::ReadFile(file.get(), buffer.get(), wanted, &read, nullptr) || read == 0 ||
            std::memcmp(buffer.get(), payload.bytes + offset, read) != 0) {
            return false;
        }
        offset += read;
    }
    return true;
}

// A target that already holds the payload (a re-run while it is in use) is in
// place, and nothing of its row stays queued for the next start.
RowState InPlaceIfHolding(const Text& targetPath, const Payload& payload) {
    if (!FileHoldsPayload(targetPath, payload)) {
        return RowState::kFailed;
    }
    DropRestartMoves(targetPath);
    return RowState::kInPlace;
}

// A file in use cannot be replaced until the program holding it lets go: the
// flushed temporary file is queued to replace target at the next start. A run
// that finds the same content queued already queues nothing more; one that
// finds an older version queued replaces that entry.
RowState ReplaceAtRestart(const Text& tempPath, const Text& targetPath, const Payload& payload) {
    // Decided before the queue is edited: reading a queued file takes time,
    // and other programs may queue moves meanwhile.
    Text same;
    ForEachRestartMove([&](const wchar_t* source, const wchar_t* target) {
        if (same.empty() && IsRowMove(source, target, targetPath) && FileHoldsPayload(source, payload)) {
            same = source;
        }
    });
    const bool queued = !same.empty() && !same.failed();
    EditRestartMoves(
        [&](const wchar_t* source, const wchar_t* target) {
            return IsRowMove(source, target, targetPath) && !(queued && ::_wcsicmp(source, same.c_str()) == 0);
        },
        DeleteDroppedFile);
    if (queued || !::MoveFileExW(tempPath.c_str(), targetPath.c_str(),
                                 MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING)) {
        ::DeleteFileW(tempPath.c_str());
        return queued ? RowState::kPending : RowState::kFailed;
    }
    return RowState::kPending;
}

}  // namespace

bool LoadPayload(const Text& resourceName, LoadedPayload& loaded) {
    // A null module is this executable itself.
    const HRSRC info = ::FindResourceW(nullptr, resourceName.c_str(), MAKEINTRESOURCEW(10));
    if (!info) {
        return false;
    }
    loaded.resource.reset(::LoadResource(nullptr, info));
    if (!loaded.resource) {
        return false;
    }
    loaded.payload.size = ::SizeofResource(nullptr, info);
    loaded.payload.bytes = static_cast<const BYTE*>(::LockResource(loaded.resource.get()));
    return loaded.payload.bytes != nullptr || loaded.payload.size == 0;
}

RowState PlaceFile(const Payload& payload, const Text& targetPath) {
    RemoveStaleTemps(targetPath);
    // Windows refuses to replace a read-only file; Wine running as root does
    // not, so the attribute is checked here to keep it under both.
    const DWORD attributes = ::GetFileAttributesW(targetPath.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return InPlaceIfHolding(targetPath, payload);
    }
    Text tempPath;
    bool written = false;
    {
        const UniqueHandle temp = CreateTempBeside(targetPath, tempPath);
        if (!temp) {
            return InPlaceIfHolding(targetPath, payload);
        }
        written = WriteAll(temp.get(), payload.bytes, payload.size) && ::FlushFileBuffers(temp.get());
        // Closed at the end of this block: a file cannot be moved while open.
    }
    const DWORD moveError = written ? MoveOver(tempPath, targetPath) : ERROR_WRITE_FAULT;
    if (moveError == ERROR_SUCCESS) {
        DropRestartMoves(targetPath);
        return RowState::kInPlace;
    }
    if (InPlaceIfHolding(targetPath, payload) == RowState::kInPlace) {
        ::DeleteFileW(tempPath.c_str());
        return RowState::kInPlace;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && IsBriefLock(moveError)) {
        return ReplaceAtRestart(tempPath, targetPath, payload);
    }
    ::DeleteFileW(tempPath.c_str());
    return RowState::kFailed;
}

}  // namespace orbel
