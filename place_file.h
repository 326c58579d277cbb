// Putting one payload in place of a file, for the install sequence.
//
// Whole or not at all: the payload is written to a new temporary file beside
// the target, flushed to disk, and moved over the target in one step, so the
// target is only ever its old bytes or the complete payload. PlaceFile answers
//   kInPlace  the target holds the payload now, or already did;
//   kPending  the target stayed in use: the flushed payload is queued to
//             replace it at the next start of Windows, once;
//   kFailed   the target is as it was, and does not hold the payload.
// It first removes temporary files that killed runs left beside the target,
// and it takes its own queued replacements back once the target holds the
// payload. Queued moves of other programs are left as they are.
#pragma once

#include <windows.h>

#include "winsvc/text.h"
#include "winsvc/unique.h"

namespace orbel {

// Where a row stands after its installation.
enum class RowState {
    kInPlace,  // the file holds its payload, or is Windows' own protected file; registered if a server
    kPending,  // the file is in use: its payload replaces it at the next start; the old one is registered
    kFailed,
};

// The payload is copied in pieces of at most this many bytes.
constexpr DWORD kCopyChunk = 1 << 20;

// A payload's bytes, as they lie in the executable's mapped image.
struct Payload {
    const BYTE* bytes = nullptr;
    DWORD size = 0;
};

// A payload and the resource that holds its bytes in this executable's mapped image.
struct LoadedPayload {
    UniqueResource resource;
    Payload payload;
};
// Finds this executable's RT_RCDATA resource of that name.
bool LoadPayload(const Text& resourceName, LoadedPayload& loaded);

RowState PlaceFile(const Payload& payload, const Text& targetPath);

}  // namespace orbel
