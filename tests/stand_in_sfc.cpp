// A stand-in for sfc.dll and sfc_os.dll, built under each name. Loaded, it
// appends its own path to the file that ORBEL_TEST_SFC_MARK names, so a test
// can tell whether, and from where, it was loaded. Its SfcIsFileProtected
// answers TRUE for msxml6.dll and msxml6r.dll, Windows' own since Vista.

#include <windows.h>

#include <cwchar>

namespace {

void LeaveMark(HMODULE self) {
    wchar_t markPath[MAX_PATH];
    wchar_t selfPath[MAX_PATH];
    const DWORD length = ::GetEnvironmentVariableW(L"ORBEL_TEST_SFC_MARK", markPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || ::GetModuleFileNameW(self, selfPath, MAX_PATH) == 0) {
        return;
    }
    const HANDLE mark = ::CreateFileW(markPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (mark == INVALID_HANDLE_VALUE) {
        return;
    }
    char line[MAX_PATH * 3 + 2];
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, selfPath, -1, line, MAX_PATH * 3, nullptr, nullptr);
    if (bytes > 0) {
        line[bytes - 1] = '\n';
        DWORD written = 0;
        ::WriteFile(mark, line, static_cast<DWORD>(bytes), &written, nullptr);
    }
    ::CloseHandle(mark);
}

bool EndsWith(const wchar_t* path, const wchar_t* name) {
    const size_t pathLength = std::wcslen(path);
    const size_t nameLength = std::wcslen(name);
    return pathLength > nameLength && path[pathLength - nameLength - 1] == L'\\' &&
           ::_wcsicmp(path + pathLength - nameLength, name) == 0;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        LeaveMark(self);
    }
    return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI SfcIsFileProtected(HANDLE, LPCWSTR path) {
    return path && (EndsWith(path, L"msxml6.dll") || EndsWith(path, L"msxml6r.dll"));
}
