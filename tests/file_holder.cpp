// Holds a library as an application that uses it does on Windows, where a
// loaded image cannot be replaced until the application ends: loaded, and,
// since Wine lets a loaded file be replaced, also open for reading without
// FILE_SHARE_WRITE or FILE_SHARE_DELETE. Others can still load it.
//
//   file_holder.exe <library> <ready-file> <release-file>
//
// Makes <ready-file> once it holds the library; ends when <release-file> appears.

#include <windows.h>
#include <shellapi.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (!argv || argc != 4) {
        return 2;
    }
    const HMODULE library = ::LoadLibraryW(argv[1]);
    const HANDLE file = ::CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (!library || file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    ::CloseHandle(::CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    while (::GetFileAttributesW(argv[3]) == INVALID_FILE_ATTRIBUTES) {
        ::Sleep(50);
    }
    return 0;
}
