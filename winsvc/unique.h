// Owning wrappers for the Win32 handles the installer acquires. Each one
// releases with the Win32 call that matches how it was acquired.
#pragma once

#include <windows.h>

#include <memory>

namespace orbel {

struct HandleCloser {
    void operator()(HANDLE handle) const noexcept { ::CloseHandle(handle); }
};
struct FindCloser {
    void operator()(HANDLE find) const noexcept { ::FindClose(find); }
};
struct ModuleFreer {
    void operator()(HMODULE module) const noexcept { ::FreeLibrary(module); }
};
struct ResourceFreer {
    // A leftover of 16-bit Windows that always answers FALSE; called for symmetry, never tested.
    void operator()(HGLOBAL resource) const noexcept { ::FreeResource(resource); }
};

struct KeyCloser {
    void operator()(HKEY key) const noexcept { ::RegCloseKey(key); }
};

struct HeapFreer {
    void operator()(void* memory) const noexcept { ::HeapFree(::GetProcessHeap(), 0, memory); }
};

using UniqueHandle = std::unique_ptr<void, HandleCloser>;
using UniqueFind = std::unique_ptr<void, FindCloser>;
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFreer>;
using UniqueResource = std::unique_ptr<void, ResourceFreer>;
using UniqueKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

// CreateFileW and FindFirstFileW fail with INVALID_HANDLE_VALUE, not null.
inline HANDLE OwnedOrNull(HANDLE handle) noexcept {
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

}  // namespace orbel
