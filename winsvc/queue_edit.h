// The restart queue's value turned into a new value, without Windows, so that
// it can be tested and fuzzed anywhere. Windows, Windows Update and every
// installer share this value and Windows checks none of it, so whatever is
// not ours is kept as it was, byte for byte and in order.
//
// The value (PendingFileRenameOperations, REG_MULTI_SZ) is a list of moves,
// each a source and a target string in little-endian UTF-16 with a NUL after
// each (an empty target deletes the source), closed by an empty string.
#pragma once

#include <cstddef>
#include <cstring>

namespace orbel {

// One move in the value: byte offsets of its strings and their lengths in
// UTF-16 units, NULs not counted. The source is never empty, and both
// strings end in a NUL within the value.
struct QueuedMove {
    size_t source;
    size_t sourceUnits;
    size_t target;
    size_t targetUnits;
};

// Writes to out, which has room for bytes, the value without the moves that
// drop(const QueuedMove&) answers true for, and answers its length in bytes;
// with out null it only offers the moves.
// Moves are offered in order while the value reads as a list of moves; from
// the first place where it does not (an empty string where a source belongs,
// the list's end among them; a source without a target; a string without its
// NUL; an odd last byte) the rest is copied unread. Allocates nothing.
template <typename Drop>
size_t EditQueueValue(const unsigned char* value, size_t bytes, unsigned char* out, Drop drop) {
    const size_t units = bytes / 2;
    const auto isNul = [&](size_t unit) { return value[2 * unit] == 0 && value[2 * unit + 1] == 0; };
    // The unit index of the NUL that ends the string at unit, or units if there is none.
    const auto endOf = [&](size_t unit) {
        while (unit < units && !isNul(unit)) {
            ++unit;
        }
        return unit;
    };
    size_t written = 0;
    size_t at = 0;
    while (at < units) {
        const size_t sourceEnd = endOf(at);
        if (sourceEnd == at || sourceEnd + 1 >= units) {
            break;
        }
        const size_t targetEnd = endOf(sourceEnd + 1);
        if (targetEnd >= units) {
            break;
        }
        const size_t next = targetEnd + 1;
        const QueuedMove move{2 * at, sourceEnd - at, 2 * (sourceEnd + 1), targetEnd - sourceEnd - 1};
        if (!drop(move)) {
            if (out) {
                std::memcpy(out + written, value + 2 * at, 2 * (next - at));
            }
            written += 2 * (next - at);
        }
        at = next;
    }
    if (out && bytes > 2 * at) {
        std::memcpy(out + written, value + 2 * at, bytes - 2 * at);
    }
    return written + bytes - 2 * at;
}

// The path a queued string names, without the prefixes the queue stores:
// Windows' bookkeeping mark "*" with its digits (written by Windows 10 and 11
// since their 2025 updates: "*1\??\C:\..."), then "!" (a target that may
// be replaced), then "\??\". Every comparison of queued paths goes through
// it, so that a path is recognised in whatever form it was queued.
// Unit is wchar_t on Windows, any 16-bit unit elsewhere.
template <typename Unit>
const Unit* BareQueuedPath(const Unit* path) {
    if (*path == Unit('*')) {
        ++path;
        while (*path >= Unit('0') && *path <= Unit('9')) {
            ++path;
        }
    }
    if (*path == Unit('!')) {
        ++path;
    }
    if (path[0] == Unit('\\') && path[1] == Unit('?') && path[2] == Unit('?') && path[3] == Unit('\\')) {
        path += 4;
    }
    return path;
}

// Whether an edited value lists nothing: empty, or the list's end alone.
inline bool QueueValueIsEmpty(const unsigned char* value, size_t bytes) {
    return bytes == 0 || (bytes == 2 && value[0] == 0 && value[1] == 0);
}

}  // namespace orbel
