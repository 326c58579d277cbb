// A stand-in for regsvr32.exe that reports a failed registration the way
// Windows' own does: in an error box, unless "/s" is given. Wine's regsvr32
// writes its errors to the console instead, so a test that must see the box
// Windows would show uses this one.
//
//   regsvr32.exe [/s] <server.dll>

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    bool silent = false;
    const wchar_t* server = nullptr;
    for (int i = 1; argv && i < argc; ++i) {
        if (::_wcsicmp(argv[i], L"/s") == 0) {
            silent = true;
        } else {
            server = argv[i];
        }
    }
    if (!server) {
        return 1;
    }
    const HMODULE module = ::LoadLibraryExW(server, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    using RegisterFn = HRESULT(STDAPICALLTYPE*)();
    const auto registerServer = module ? reinterpret_cast<RegisterFn>(reinterpret_cast<void (*)()>(
                                             ::GetProcAddress(module, "DllRegisterServer")))
                                       : nullptr;
    const HRESULT result = registerServer ? registerServer() : E_FAIL;
    if (SUCCEEDED(result)) {
        return 0;
    }
    if (!silent) {
        const std::wstring message = std::wstring(L"DllRegisterServer in ") + server + L" failed.";
        // 6 tells a box that could not be shown from one that was closed.
        if (::MessageBoxW(nullptr, message.c_str(), L"RegSvr32", MB_OK | MB_ICONERROR) == 0) {
            return 6;
        }
    }
    return 5;
}
