#include "winsvc/text.h"

#include <cstring>
#include <cwchar>

namespace orbel {

Text::Text(const wchar_t* text) : Text(text, text ? std::wcslen(text) : 0) {}

Text::Text(const wchar_t* text, size_t length) {
    if (length > 0 && Reserve(length)) {
        std::memcpy(data_, text, length * sizeof(wchar_t));
        size_ = length;
        data_[size_] = L'\0';
    }
}

Text::Text(const Text& other) : Text(other.data_, other.size_) {
    if (other.failed_) {
        Fail();
    }
}

Text::Text(Text&& other) noexcept
    : data_(other.data_), size_(other.size_), capacity_(other.capacity_), failed_(other.failed_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
}

Text& Text::operator=(Text other) noexcept {
    wchar_t* const data = data_;
    data_ = other.data_;
    size_ = other.size_;
    capacity_ = other.capacity_;
    failed_ = other.failed_;
    other.data_ = data;
    return *this;
}

Text::~Text() {
    if (data_) {
        ::HeapFree(::GetProcessHeap(), 0, data_);
    }
}

Text Text::Number(unsigned long value) {
    wchar_t digits[24];
    wchar_t* first = digits + 24;
    do {
        *--first = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    return Text(first, static_cast<size_t>(digits + 24 - first));
}

// Room for capacity units and a NUL; false, and failed, if the heap has none.
bool Text::Reserve(size_t capacity) {
    if (failed_) {
        return false;
    }
    if (capacity <= capacity_ && data_) {
        return true;
    }
    if (capacity >= (static_cast<size_t>(-1) / sizeof(wchar_t)) / 2) {
        Fail();
        return false;
    }
    const size_t grown = capacity < 2 * capacity_ ? 2 * capacity_ : capacity;
    const size_t bytes = (grown + 1) * sizeof(wchar_t);
    void* memory = data_ ? ::HeapReAlloc(::GetProcessHeap(), 0, data_, bytes) : ::HeapAlloc(::GetProcessHeap(), 0, bytes);
    if (!memory) {
        Fail();
        return false;
    }
    data_ = static_cast<wchar_t*>(memory);
    capacity_ = grown;
    return true;
}

void Text::Fail() {
    failed_ = true;
    size_ = 0;
    if (data_) {
        data_[0] = L'\0';
    }
}

Text& Text::operator+=(const Text& tail) {
    if (tail.failed_) {
        Fail();
    }
    if (tail.size_ == 0 || !Reserve(size_ + tail.size_)) {
        return *this;
    }
    std::memmove(data_ + size_, tail.data_, tail.size_ * sizeof(wchar_t));
    size_ += tail.size_;
    data_[size_] = L'\0';
    return *this;
}

Text& Text::operator+=(wchar_t unit) {
    if (Reserve(size_ + 1)) {
        data_[size_++] = unit;
        data_[size_] = L'\0';
    }
    return *this;
}

void Text::pop_back() {
    if (size_ > 0) {
        data_[--size_] = L'\0';
    }
}

size_t Text::find(const Text& what, size_t from) const {
    if (what.size_ == 0 || what.size_ > size_) {
        return what.size_ == 0 && from <= size_ ? from : npos;
    }
    for (size_t at = from; at + what.size_ <= size_; ++at) {
        if (std::wmemcmp(data_ + at, what.data_, what.size_) == 0) {
            return at;
        }
    }
    return npos;
}

size_t Text::find(wchar_t unit) const {
    for (size_t at = 0; at < size_; ++at) {
        if (data_[at] == unit) {
            return at;
        }
    }
    return npos;
}

size_t Text::find_last_of(const wchar_t* units) const {
    for (size_t at = size_; at > 0; --at) {
        if (std::wcschr(units, data_[at - 1]) && data_[at - 1] != L'\0') {
            return at - 1;
        }
    }
    return npos;
}

Text Text::substr(size_t at, size_t length) const {
    if (at >= size_) {
        Text none;
        none.failed_ = failed_;
        return none;
    }
    if (length > size_ - at) {
        length = size_ - at;
    }
    Text part(data_ + at, length);
    if (failed_) {
        part.Fail();
    }
    return part;
}

Text& Text::replace(size_t at, size_t length, const Text& with) {
    if (at > size_) {
        return *this;
    }
    if (length > size_ - at) {
        length = size_ - at;
    }
    Text result = substr(0, at);
    result += with;
    result += substr(at + length);
    if (failed_) {
        result.Fail();
    }
    *this = static_cast<Text&&>(result);
    return *this;
}

Text operator+(Text head, const Text& tail) {
    head += tail;
    return head;
}

Text FileNamePart(const Text& path) {
    const size_t cut = path.find_last_of(L"\\:");
    return cut == Text::npos ? path : path.substr(cut + 1);
}

Text FolderPart(const Text& path) {
    const size_t cut = path.find_last_of(L"\\");
    return cut == Text::npos ? Text() : path.substr(0, cut + 1);
}

}  // namespace orbel
