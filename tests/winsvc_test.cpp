// The bitness probe, the system folder and the process runner, checked against
// what Windows itself answers.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/support.h"
#include "winsvc/winsvc.h"

namespace orbel::test {
namespace {

// The kind of Windows the test runner made for this run.
bool PrefixIs64Bit() {
    const char* kind = std::getenv("ORBEL_WINE_KIND");
    return kind && std::string(kind) == "win64";
}

TEST(IsWow64Test, AgreesWithIsWow64ProcessAndTheKindOfWindows) {
    EXPECT_EQ(IsWow64(), OnWow64());
    EXPECT_EQ(IsWow64(), PrefixIs64Bit());
}

TEST(GetSystemFolderTest, NamesThe32BitSystemFolderOfThisWindows) {
    wchar_t windows[MAX_PATH];
    const UINT length = ::GetWindowsDirectoryW(windows, MAX_PATH);
    ASSERT_GT(length, 0u);
    const std::wstring expected = std::wstring(windows, length) + (PrefixIs64Bit() ? L"\\SysWOW64\\" : L"\\System32\\");
    EXPECT_EQ(Upper(Wide(GetSystemFolder())), Upper(expected));
    EXPECT_EQ(Upper(Wide(GetSystemFolder())), Upper(SystemFolder32()));
}

TEST(GetSystemFolderTest, EndsInExactlyOneBackslash) {
    const std::wstring folder = Wide(GetSystemFolder());
    ASSERT_GE(folder.size(), 3u);
    EXPECT_EQ(folder.back(), L'\\');
    EXPECT_NE(folder[folder.size() - 2], L'\\');
    EXPECT_EQ(folder.find(L"\\\\"), std::wstring::npos) << Narrow(folder);
}

class RunCommandTest : public testing::Test {
protected:
    // A command line that runs this program as a child recording into record_.
    std::wstring ChildCommand(DWORD exitCode, const std::wstring& extra = {}) const {
        return Quoted(SelfPath()) + L" --child " + Quoted(record_) + L" " + std::to_wstring(exitCode) + extra;
    }
    std::vector<std::string> Record() const { return ReadLines(record_); }

    TempDir temp_;
    std::wstring record_ = temp_.path() + L"child.txt";
};

TEST_F(RunCommandTest, ReturnsExitCodeOfChild) {
    EXPECT_EQ(RunCommand(ToText(ChildCommand(3)), SW_SHOWNORMAL, true), 3u);
    EXPECT_EQ(RunCommand(ToText(ChildCommand(0)), SW_SHOWNORMAL, true), 0u);
    // The whole 32 bits come back, not the low byte.
    EXPECT_EQ(RunCommand(ToText(ChildCommand(1603)), SW_SHOWNORMAL, true), 1603u);
}

TEST_F(RunCommandTest, ChildGetsTheExactCommandLineAndShowState) {
    const std::wstring command = ChildCommand(0, L" two  blanks \"quoted arg\" {S}");
    ASSERT_EQ(RunCommand(ToText(command), SW_SHOWNORMAL, true), 0u);
    const std::vector<std::string> record = Record();
    ASSERT_EQ(record.size(), 2u);
    EXPECT_EQ(record[0], Narrow(command));
    EXPECT_EQ(record[1], "show=1 flags=1");

    ASSERT_EQ(RunCommand(ToText(command), SW_HIDE, true), 0u);
    EXPECT_EQ(Record().at(1), "show=0 flags=1");
}

TEST_F(RunCommandTest, MissingProgramGivesMinusOne) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(RunCommand(ToText(Quoted(temp_.path() + L"no such program.exe") + L" /s"), SW_SHOWNORMAL, true),
              kRunFailed);
    EXPECT_EQ(RunCommand(L"", SW_SHOWNORMAL, true), kRunFailed);
}

TEST_F(RunCommandTest, RunsACommandLineOf512UnitsAndRefusesALongerOne) {
    std::wstring command = ChildCommand(7, L" ");
    ASSERT_LT(command.size(), kMaxCommandLine);
    command.append(kMaxCommandLine - command.size(), L'x');
    ASSERT_EQ(command.size(), 512u);
    EXPECT_EQ(RunCommand(ToText(command), SW_SHOWNORMAL, true), 7u);
    EXPECT_EQ(Record().at(0), Narrow(command));

    ASSERT_TRUE(::DeleteFileW(record_.c_str()));
    EXPECT_EQ(RunCommand(ToText(command + L"x"), SW_SHOWNORMAL, true), kRunFailed);
    // Nothing was started: a cut command line would still have run the child.
    ::Sleep(500);
    EXPECT_FALSE(Exists(record_));
}

TEST_F(RunCommandTest, RefusesACommandLineWithANul) {
    std::wstring command = ChildCommand(0);
    command += L'\0';
    command += L" more";
    EXPECT_EQ(RunCommand(ToText(command), SW_SHOWNORMAL, true), kRunFailed);
    ::Sleep(500);
    EXPECT_FALSE(Exists(record_));
}

TEST(RestrictDllSearchTest, LibrariesLoadedByNameComeNoLongerFromTheProgramsFolder) {
    // A copy of this program with a stand-in sfc_os.dll beside it, which Wine
    // would take over its own wherever its search finds it.
    const TempDir temp;
    const std::wstring program = temp.path() + L"probe.exe";
    ASSERT_TRUE(::CopyFileW(SelfPath().c_str(), program.c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW(BuildPath("ORBEL_TEST_STAND_IN_SFC_OS").c_str(), (temp.path() + L"sfc_os.dll").c_str(),
                            FALSE));
    const NativeOverride sfcOs(L"sfc_os", L"native,builtin");
    const std::wstring load = Quoted(program) + L" --load sfc_os.dll ";
    // Exit codes: 1 loaded the planted one, 2 another, 0 none.
    EXPECT_EQ(test::Run(load + L"0"), 1u) << "unrestricted, the search should find the planted copy";
    EXPECT_EQ(test::Run(load + L"1"), 2u);
}

TEST(ProtectedSystemFileTest, AsksTheSystemFoldersSfcEvenWhereTheSearchWouldFindAPlantedOne) {
    // The stand-ins in the system folder, and planted beside a copy of this
    // program, whose search is left unrestricted: only the full paths keep them apart.
    const TempDir temp;
    const std::wstring program = temp.path() + L"probe.exe";
    const std::wstring system = SystemFolder32();
    ASSERT_TRUE(::CopyFileW(SelfPath().c_str(), program.c_str(), FALSE));
    for (const std::wstring& folder : {temp.path(), system}) {
        ASSERT_TRUE(::CopyFileW(BuildPath("ORBEL_TEST_STAND_IN_SFC").c_str(), (folder + L"sfc.dll").c_str(), FALSE));
        ASSERT_TRUE(
            ::CopyFileW(BuildPath("ORBEL_TEST_STAND_IN_SFC_OS").c_str(), (folder + L"sfc_os.dll").c_str(), FALSE));
    }
    const NativeOverride sfc(L"sfc", L"native,builtin");
    const NativeOverride sfcOs(L"sfc_os", L"native,builtin");
    const ScopedEnv mark(L"ORBEL_TEST_SFC_MARK", temp.path() + L"loaded.txt");
    EXPECT_EQ(test::Run(Quoted(program) + L" --protected " + Quoted(system + L"msxml6.dll")), 1u);
    const std::vector<std::string> loaded = ReadLines(temp.path() + L"loaded.txt");
    EXPECT_EQ(loaded.size(), 2u);
    for (const std::string& path : loaded) {
        EXPECT_EQ(Upper(Widen(path)).rfind(Upper(system), 0), 0u) << path << " is not the system folder's";
    }
}

}  // namespace
}  // namespace orbel::test
