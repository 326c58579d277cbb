// The entry of every test program. Run with --child, the program is instead
// the child process that process tests start: it records what it was given
// and exits with the code it was asked for.
//
//   <test>.exe --child <record-file> <exit-code> [anything...]
//   <test>.exe --sleep <milliseconds>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "support/support.h"

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

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "--child") == 0) {
        return Child(argv[2], argv[3]);
    }
    if (argc >= 3 && std::strcmp(argv[1], "--sleep") == 0) {
        ::Sleep(std::strtoul(argv[2], nullptr, 10));
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
