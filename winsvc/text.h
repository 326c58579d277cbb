// UTF-16 text on the process heap, for paths and command lines.
//
// The installer's own string type rather than std::wstring: the C++ library's
// string brings its exception machinery and terminate handler into the
// executable, several times the size of the installer's own code.
//
// A Text whose memory could not be had is failed: it is empty, and anything
// made from it is failed too, so that a path is never quietly cut to its tail.
// An empty path or command line never names a file or a program, so callers
// need only refuse empty ones.
#pragma once

#include <windows.h>

#include <cstddef>

namespace orbel {

class Text {
public:
    static constexpr size_t npos = static_cast<size_t>(-1);

    Text() = default;
    Text(const wchar_t* text);  // NOLINT: literals convert, as they do to std::wstring
    Text(const wchar_t* text, size_t length);
    Text(const Text& other);
    Text(Text&& other) noexcept;
    Text& operator=(Text other) noexcept;
    ~Text();

    // The decimal digits of value.
    static Text Number(unsigned long value);

    const wchar_t* c_str() const { return data_ ? data_ : L""; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    bool failed() const { return failed_; }
    wchar_t back() const { return size_ ? data_[size_ - 1] : L'\0'; }
    wchar_t operator[](size_t at) const { return data_[at]; }

    Text& operator+=(const Text& tail);
    Text& operator+=(wchar_t unit);
    void pop_back();

    // Like std::wstring's: npos when there is none.
    size_t find(const Text& what, size_t from = 0) const;
    size_t find(wchar_t unit) const;
    size_t find_last_of(const wchar_t* units) const;
    Text substr(size_t at, size_t length = npos) const;
    // Replaces length units at at with with.
    Text& replace(size_t at, size_t length, const Text& with);

private:
    bool Reserve(size_t capacity);
    void Fail();

    wchar_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool failed_ = false;
};

Text operator+(Text head, const Text& tail);

// The text after the last backslash or drive colon of a path; all of it if there is none.
Text FileNamePart(const Text& path);
// The text up to and with the last backslash; empty if there is none.
Text FolderPart(const Text& path);

}  // namespace orbel
