// The entry of every test program. Run with --child, the program is instead
// the child process that process tests start: it records what it was given
// and exits with the code it was asked for.
//
//   <test>.exe --child <record-file> <exit-code> [anything...]
//   <test>.exe --sleep <milliseconds>
//   <test>.exe --hold <path> <milliseconds>   holds path open exclusively until an installer's
//                                            temporary file appears beside it, and that long after
//   <test>.exe --load <dll name> <restrict>   loads a DLL by name, the search restricted if restrict
//                                            is 1: exits 0 if none loaded, 1 if the one beside this
//                                            program, 2 if another
//   <test>.exe --protected <path>            asks IsProtectedSystemFile, the search not restricted:
//                                            exits 1 if protected, 0 if not

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "support/support.h"
#include "winsvc/winsvc.h"

namespace {

int Child(const char* recordPath, const char* exitCode) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    ::GetStartupInfoW(&startup);
    const std::string record = orbel::test::Narrow(::GetCommandLineW()) + "\nshow=" +
                               std::to_string(startup.wShowWindow) + " flags=" + std::to_string(startup.dwFlags) +
                               "\n";
    orbel::test::WriteText(orbel::test::Widen(recordPath), record);
    return static_cast<int>(std::strtoul(exitCode, nullptr, 10));
}

int Hold(const char* path, const char* milliseconds) {
    const std::wstring target = orbel::test::Widen(path);
    const orbel::UniqueHandle held = orbel::test::HoldExclusively(target);
    if (!held) {
        return 2;
    }
    // Tells the test that started it that the file is held now.
    const orbel::UniqueHandle signal{::OpenEventW(EVENT_MODIFY_STATE, FALSE, L"orbel-test-held")};
    if (signal) {
        ::SetEvent(signal.get());
    }
    const size_t cut = target.find_last_of(L'\\');
    for (int waited = 0; waited < 120000; waited += 10) {
        if (!orbel::test::FindNames(target.substr(0, cut + 1), target.substr(cut + 1) + L".orbel-*.tmp").empty()) {
            ::Sleep(std::strtoul(milliseconds, nullptr, 10));
            return 0;
        }
        ::Sleep(10);
    }
    return 3;
}

int Load(const char* name, const char* restrict) {
    if (std::strcmp(restrict, "1") == 0) {
        orbel::RestrictDllSearch();
    }
    const HMODULE module = ::LoadLibraryW(orbel::test::Widen(name).c_str());
    if (!module) {
        return 0;
    }
    const std::wstring loaded = orbel::test::ModulePath(module);
    const std::wstring self = orbel::test::SelfPath();
    return orbel::test::Upper(loaded.substr(0, loaded.find_last_of(L'\\'))) ==
                   orbel::test::Upper(self.substr(0, self.find_last_of(L'\\')))
               ? 1
               : 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "--child") == 0) {
        return Child(argv[2], argv[3]);
    }
    if (argc >= 4 && std::strcmp(argv[1], "--hold") == 0) {
        return Hold(argv[2], argv[3]);
    }
    if (argc >= 4 && std::strcmp(argv[1], "--load") == 0) {
        return Load(argv[2], argv[3]);
    }
    if (argc >= 3 && std::strcmp(argv[1], "--protected") == 0) {
        return orbel::IsProtectedSystemFile(orbel::test::ToText(orbel::test::Widen(argv[2]))) ? 1 : 0;
    }
    if (argc >= 3 && std::strcmp(argv[1], "--sleep") == 0) {
        ::Sleep(std::strtoul(argv[2], nullptr, 10));
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
