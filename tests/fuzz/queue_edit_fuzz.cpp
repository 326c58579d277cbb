// libFuzzer target for the restart queue's editor, built on the host with
// clang. The first byte says which moves to drop; the rest is the value.
// On every input: the moves offered are the value's leading well-formed
// pairs, in order and back to back; the result is the value without exactly
// the dropped ones; a well-formed list stays one; and each queued path is read
// as the path it names, in whatever form it was queued.
#include "winsvc/queue_edit.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "queue editor: %s\n", what);
        std::abort();
    }
}

bool IsNul(const unsigned char* value, size_t unit) {
    return value[2 * unit] == 0 && value[2 * unit + 1] == 0;
}

// The list's moves and its closing empty string, nothing else: what Windows writes.
bool WellFormed(const unsigned char* value, size_t bytes) {
    if (bytes % 2 != 0 || bytes == 0) {
        return false;
    }
    const size_t units = bytes / 2;
    size_t at = 0;
    while (at < units && !IsNul(value, at)) {
        for (int string = 0; string < 2; ++string) {
            while (at < units && !IsNul(value, at)) {
                ++at;
            }
            if (at == units) {
                return false;
            }
            ++at;
        }
    }
    return at == units - 1;
}

// The UTF-16 string of n units at byte offset at, with its NUL, aligned.
std::u16string StringAt(const unsigned char* value, size_t at, size_t units) {
    std::u16string text(units, u'\0');
    for (size_t unit = 0; unit < units; ++unit) {
        text[unit] = static_cast<char16_t>(value[at + 2 * unit] | value[at + 2 * unit + 1] << 8);
    }
    return text;
}

bool StartsWith(const std::u16string& text, size_t at, const char16_t* head) {
    return text.compare(at, std::char_traits<char16_t>::length(head), head) == 0;
}

// What BareQueuedPath takes off must be a queue prefix, "*" and digits, "!",
// "\??\", each optional and in that order, all of it that is there: so no
// other string is taken for a path. And every form of a bare path, old or
// today's, is taken for that path.
void CheckBarePath(const std::u16string& text) {
    const char16_t* bare = orbel::BareQueuedPath(text.c_str());
    const size_t cut = static_cast<size_t>(bare - text.c_str());
    size_t at = 0;
    if (at < text.size() && text[at] == u'*') {
        for (++at; at < text.size() && text[at] >= u'0' && text[at] <= u'9'; ++at) {
        }
    }
    if (at < text.size() && text[at] == u'!') {
        ++at;
    }
    if (StartsWith(text, at, u"\\??\\")) {
        at += 4;
    }
    Require(cut == at, "a queued path's prefix misread");
    const std::u16string path = text.substr(cut);
    if (path.empty() || path[0] == u'*' || path[0] == u'!' || (path[0] >= u'0' && path[0] <= u'9') ||
        StartsWith(path, 0, u"\\??\\")) {
        return;
    }
    for (const char16_t* form : {u"", u"\\??\\", u"!\\??\\", u"*1\\??\\", u"*2!\\??\\", u"*12!\\??\\", u"*!"}) {
        const std::u16string queued = form + path;
        Require(queued.c_str() + std::char_traits<char16_t>::length(form) == orbel::BareQueuedPath(queued.c_str()),
                "a form of a path not taken for it");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t pattern = data[0];
    // A copy of its own, so that a read past the value's end is caught.
    std::vector<unsigned char> value(data + 1, data + size);
    const size_t bytes = value.size();
    struct Offered {
        size_t from;
        size_t to;
        bool dropped;
    };
    std::vector<Offered> offered;
    std::vector<unsigned char> out(bytes);
    const size_t written = orbel::EditQueueValue(value.data(), bytes, out.data(), [&](const orbel::QueuedMove& move) {
        const size_t end = move.target + 2 * (move.targetUnits + 1);
        Require(move.source == (offered.empty() ? 0 : offered.back().to), "moves offered out of order");
        Require(move.sourceUnits > 0, "an empty source offered");
        Require(move.target == move.source + 2 * (move.sourceUnits + 1), "a target not right after its source");
        Require(end <= bytes, "a move past the value's end");
        for (size_t unit = 0; unit <= move.sourceUnits; ++unit) {
            Require(IsNul(value.data() + move.source, unit) == (unit == move.sourceUnits), "a source's NUL misplaced");
        }
        for (size_t unit = 0; unit <= move.targetUnits; ++unit) {
            Require(IsNul(value.data() + move.target, unit) == (unit == move.targetUnits), "a target's NUL misplaced");
        }
        CheckBarePath(StringAt(value.data(), move.source, move.sourceUnits));
        CheckBarePath(StringAt(value.data(), move.target, move.targetUnits));
        const bool drop = (pattern >> (offered.size() % 8)) & 1;
        offered.push_back({move.source, end, drop});
        return drop;
    });
    std::vector<unsigned char> expected;
    size_t rest = 0;
    for (const Offered& move : offered) {
        if (!move.dropped) {
            expected.insert(expected.end(), value.begin() + move.from, value.begin() + move.to);
        }
        rest = move.to;
    }
    expected.insert(expected.end(), value.begin() + rest, value.end());
    Require(written == expected.size() && (written == 0 || std::memcmp(out.data(), expected.data(), written) == 0),
            "bytes other than the dropped moves changed");
    if (WellFormed(value.data(), bytes)) {
        Require(rest == bytes - 2, "a well-formed list's move was not offered");
        Require(WellFormed(out.data(), written), "a well-formed list came out malformed");
    }
    // Offering only, as a walk that only reads does.
    size_t seen = 0;
    orbel::EditQueueValue(value.data(), bytes, nullptr, [&](const orbel::QueuedMove&) { return ++seen, false; });
    Require(seen == offered.size(), "a walk without output offered other moves");
    return 0;
}
