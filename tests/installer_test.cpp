// The whole installer, run as administrators run it, and what Windows shows
// afterwards: the files in the system folder, the registry, a script client's
// view of the servers, the registration commands and the exit code.

#include <gtest/gtest.h>

#include <sddl.h>
#include <tlhelp32.h>

#include <initializer_list>
#include <iterator>
#include <string>

#include "components.h"
#include "support/installer_fixture.h"

namespace orbel::test {
namespace {

using InstallerTest = InstallerFixture;

TEST_F(InstallerTest, WholeRunInstallsRegistersAndServesEveryComponent) {
    // Wine's own msxml6 would otherwise stand in for the native file.
    const NativeOverride msxml6(L"msxml6");
    ASSERT_EQ(RunInstaller(), 0u);

    for (const Row& row : kRows) {
        SCOPED_TRACE(Narrow(row.fileName));
        ExpectInstalled(row);
        EXPECT_TRUE(CanOpenExclusively(Target(row)));
        // Not in the other system folder: absent there, or Wine's own file of that name.
        const std::wstring other = OtherSystemFolder() + row.fileName;
        EXPECT_FALSE(Exists(other) && ReadBytes(other) == PayloadBytes(row)) << "written into " << Narrow(other);
    }

    ExpectServersRegistered();

    // A real client: the script host of the same system folder creates each object.
    std::string script;
    for (const demo::Server& server : demo::kServers) {
        const std::string id = Narrow(server.progId);
        script += "try { WScript.Echo(\"" + id + "=\" + new ActiveXObject(\"" + id +
                  "\").Name); } catch (e) { WScript.Echo(\"" + id + " failed: \" + e.message); }\n";
    }
    const std::wstring probe = temp_.path() + L"probe.js";
    const std::wstring output = temp_.path() + L"probe.txt";
    ASSERT_TRUE(WriteText(probe, script));
    EXPECT_EQ(test::Run(Quoted(folder_ + L"cscript.exe") + L" //nologo " + Quoted(probe), 60000, output), 0u);
    std::vector<std::string> expected;
    for (size_t i = 0; i < kServerRows; ++i) {
        const std::wstring variant = kRows[i].distinct64 ? (OnWow64() ? L"64" : L"32") : L"32+64";
        expected.push_back(Narrow(std::wstring(L"Orbel.") + kRows[i].baseName + L"=" + kRows[i].baseName + L" " +
                                  variant));
    }
    EXPECT_EQ(ReadLines(output), expected);
}

TEST_F(InstallerTest, RegistersTheSixServersInTableOrderWithTheExactCommand) {
    const FakeRegsvr32 regsvr32(folder_, log_);
    ASSERT_EQ(RunInstaller(), 0u);
    EXPECT_EQ(UpperAll(regsvr32.Commands()), ExpectedCommands());
    ExpectAllInstalled();
}

TEST_F(InstallerTest, SignedInstallerInstallsLikeTheUnsignedOne) {
    const FakeRegsvr32 regsvr32(folder_, log_);
    ASSERT_EQ(RunInstaller(BuildPath("ORBEL_TEST_SIGNED_INSTALLER")), 0u);
    EXPECT_EQ(UpperAll(regsvr32.Commands()), ExpectedCommands());
    ExpectAllInstalled();
}

TEST_F(InstallerTest, RunningAgainRepeatsTheWholePass) {
    const FakeRegsvr32 regsvr32(folder_, log_);
    ASSERT_EQ(RunInstaller(), 0u);
    ASSERT_EQ(RunInstaller(), 0u);
    EXPECT_EQ(regsvr32.Commands().size(), 2 * kServerRows);
    ExpectAllInstalled();
}

TEST_F(InstallerTest, ReRunSucceedsWhileAnInstalledLibraryIsLoaded) {
    const FakeRegsvr32 regsvr32(folder_, log_);
    ASSERT_EQ(RunInstaller(), 0u);
    const Row& row = RowNamed(L"kwtCorvoLib");
    const UniqueModule loaded{::LoadLibraryW(Target(row).c_str())};
    ASSERT_TRUE(loaded) << "cannot load " << Narrow(Target(row));
    EXPECT_EQ(RunInstaller(), 0u);
    ExpectInstalled(row);
}

TEST_F(InstallerTest, TargetsHeldForTheWholeRunAreReplacedAtTheNextStart) {
    const Row& first = RowNamed(L"CorvoX");
    const Row& last = RowNamed(L"kwtCorvoLib");
    std::vector<std::string> commands;
    {
        const FakeRegsvr32 regsvr32(folder_, log_);
        UniqueHandle holders[2];
        for (const Row* row : {&first, &last}) {
            ASSERT_TRUE(WriteText(Target(*row), "old"));
            holders[row == &last] = HoldExclusively(Target(*row));
            ASSERT_TRUE(holders[row == &last]);
        }
        EXPECT_EQ(RunInstaller(), kRestartRequired);
        const std::vector<std::wstring> queuedFirst = FindNames(folder_, L"*.orbel-*.tmp");
        // Again before the restart: the same content is not queued a second time,
        // and the queued files are not taken for leftovers of a killed run.
        EXPECT_EQ(RunInstaller(), kRestartRequired);
        EXPECT_EQ(FindNames(folder_, L"*.orbel-*.tmp"), queuedFirst);
        for (const Row* row : {&first, &last}) {
            EXPECT_EQ(QueuedMovesOnto(Target(*row)), 1u) << Narrow(row->fileName);
            const std::vector<std::wstring> queued = FindNames(folder_, std::wstring(row->fileName) + L".orbel-*.tmp");
            ASSERT_EQ(queued.size(), 1u);
            EXPECT_TRUE(ReadBytes(folder_ + queued[0]) == PayloadBytes(*row));
        }
        // Let go of the last before a third run: it is replaced then, and no
        // longer queued; the first, early in the table, still makes it 3010.
        holders[1].reset();
        EXPECT_EQ(ReadBytes(Target(last)), Bytes("old"));
        EXPECT_EQ(RunInstaller(), kRestartRequired);
        ExpectInstalled(last);
        EXPECT_EQ(QueuedMovesOnto(Target(last)), 0u);
        commands = UpperAll(regsvr32.Commands());
    }
    // The old CorvoX was registered while it was held.
    std::vector<std::string> expected;
    for (int run = 0; run < 3; ++run) {
        for (const std::string& command : ExpectedCommands()) {
            expected.push_back(command);
        }
    }
    EXPECT_EQ(commands, expected);
    EXPECT_EQ(ReadBytes(Target(first)), Bytes("old"));
    // The next start of Windows carries out the queued move.
    ASSERT_EQ(test::Run(Quoted(folder_ + L"wineboot.exe") + L" -r"), 0u);
    ExpectAllInstalled();
    EXPECT_EQ(QueuedMovesOnto(Target(first)), 0u);
    EXPECT_EQ(FindNames(folder_, L"*.orbel-*.tmp"), std::vector<std::wstring>{});
    // Counted once, by the first run that queued it: 1 for the "old" file's
    // unknown installer, 1 for the suite, whatever ran after.
    const FakeRegsvr32 regsvr32(folder_, log_);
    EXPECT_EQ(RunInstaller(), 0u);
    for (const Row* row : {&first, &last}) {
        for (const std::wstring& name : CountNames(*row)) {
            EXPECT_EQ(SharedCount(name), 2) << Narrow(name);
        }
    }
}

TEST_F(InstallerTest, TargetHeldBrieflyIsReplacedInTheSameRun) {
    const Row& row = RowNamed(L"CorvoGovX");
    ASSERT_TRUE(WriteText(Target(row), "old control"));
    // Held, as a scanner would hold it, until the new file is written beside it, and 0.7 s longer.
    const UniqueHandle held{::CreateEventW(nullptr, TRUE, FALSE, L"orbel-test-held")};
    const Child holder = Start(Quoted(SelfPath()) + L" --hold " + Quoted(Target(row)) + L" 700");
    ASSERT_TRUE(holder.process);
    ASSERT_EQ(::WaitForSingleObject(held.get(), 120000), WAIT_OBJECT_0);
    const FakeRegsvr32 regsvr32(folder_, log_);
    EXPECT_EQ(RunInstaller(), 0u);
    DWORD holderCode = 1;
    EXPECT_EQ(::WaitForSingleObject(holder.process.get(), 120000), WAIT_OBJECT_0);
    EXPECT_TRUE(::GetExitCodeProcess(holder.process.get(), &holderCode));
    EXPECT_EQ(holderCode, 0u) << "the holder never saw the new file beside the target";
    ExpectAllInstalled();
    EXPECT_EQ(QueuedMovesOnto(Target(row)), 0u);
}

TEST_F(InstallerTest, EveryTargetHeldOpenStillRegistersTheSixOldFiles) {
    std::vector<UniqueHandle> holders;
    for (const Row& row : kRows) {
        ASSERT_TRUE(WriteText(Target(row), "old"));
        holders.push_back(HoldExclusively(Target(row)));
        ASSERT_TRUE(holders.back());
    }
    const FakeRegsvr32 regsvr32(folder_, log_);
    EXPECT_EQ(RunInstaller(), kRestartRequired);
    holders.clear();
    EXPECT_EQ(UpperAll(regsvr32.Commands()), ExpectedCommands());
    for (const Row& row : kRows) {
        EXPECT_EQ(ReadBytes(Target(row)), Bytes("old")) << Narrow(row.fileName);
        EXPECT_EQ(QueuedMovesOnto(Target(row)), 1u) << Narrow(row.fileName);
    }
}

TEST_F(InstallerTest, WindowsOwnProtectedFilesAreLeftAsTheyAre) {
    // sfc.dll names msxml6.dll and msxml6r.dll as Windows' own, as Windows since Vista does.
    ASSERT_TRUE(::CopyFileW(BuildPath("ORBEL_TEST_STAND_IN_SFC").c_str(), (folder_ + L"sfc.dll").c_str(), FALSE));
    const NativeOverride sfc(L"sfc");
    const Row* protectedRows[] = {&RowNamed(L"msxml6"), &RowNamed(L"msxml6r")};
    for (const Row* row : protectedRows) {
        ASSERT_TRUE(WriteText(Target(*row), "Windows' own"));
    }
    const FakeRegsvr32 regsvr32(folder_, log_);
    EXPECT_EQ(RunInstaller(), 0u);
    EXPECT_EQ(UpperAll(regsvr32.Commands()), ExpectedCommands({L"msxml6"}));
    for (const Row& row : kRows) {
        SCOPED_TRACE(Narrow(row.fileName));
        if (&row == protectedRows[0] || &row == protectedRows[1]) {
            EXPECT_EQ(ReadBytes(Target(row)), Bytes("Windows' own"));
            EXPECT_EQ(FindNames(folder_, std::wstring(row.fileName) + L".orbel-*"), std::vector<std::wstring>{});
        } else {
            ExpectInstalled(row);
        }
    }
    // Windows counts its own files, if at all; the others are the suite's.
    for (const Row& row : kRows) {
        for (const std::wstring& name : CountNames(row)) {
            const bool windowsOwn = &row == protectedRows[0] || &row == protectedRows[1];
            EXPECT_EQ(SharedCount(name) == -1, windowsOwn) << Narrow(name);
        }
    }
    // Where Windows' own file is missing, the row fails.
    ASSERT_TRUE(::DeleteFileW(Target(*protectedRows[1]).c_str()));
    EXPECT_EQ(RunInstaller(), kInstallFailure);
    EXPECT_FALSE(Exists(Target(*protectedRows[1])));
}

TEST_F(InstallerTest, LoadsNoSfcPlantedBesideItOrInTheCurrentFolder) {
    // Copies of the installer and of both stand-ins in one folder, which is also
    // the current one; Wine takes a native sfc or sfc_os wherever it finds one.
    const std::wstring folder = temp_.path();
    const std::wstring installer = folder + L"setup_orbel.exe";
    ASSERT_TRUE(::CopyFileW(BuildPath(installerVariable_).c_str(), installer.c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW(BuildPath("ORBEL_TEST_STAND_IN_SFC").c_str(), (folder + L"sfc.dll").c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW(BuildPath("ORBEL_TEST_STAND_IN_SFC_OS").c_str(), (folder + L"sfc_os.dll").c_str(), FALSE));
    const NativeOverride sfc(L"sfc", L"native,builtin");
    const NativeOverride sfcOs(L"sfc_os", L"native,builtin");
    const ScopedEnv mark(L"ORBEL_TEST_SFC_MARK", folder + L"loaded.txt");
    const FakeRegsvr32 regsvr32(folder_, log_);
    wchar_t current[MAX_PATH];
    ASSERT_NE(::GetCurrentDirectoryW(MAX_PATH, current), 0u);
    ASSERT_TRUE(::SetCurrentDirectoryW(folder.c_str()));
    const DWORD code = RunInstaller(installer);
    ::SetCurrentDirectoryW(current);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(ReadLines(folder + L"loaded.txt"), std::vector<std::string>{});
    ExpectAllInstalled();
}

TEST_F(InstallerTest, DirectoryAtATargetIsLeftAndNotRegistered) {
    const Row& row = RowNamed(L"midas");
    ASSERT_TRUE(::CreateDirectoryW(Target(row).c_str(), nullptr));
    // A row in use as well: a failed row outranks a pending one.
    const Row& held = RowNamed(L"kwtCorvoLib");
    ASSERT_TRUE(WriteText(Target(held), "old"));
    UniqueHandle holder = HoldExclusively(Target(held));
    ASSERT_TRUE(holder);
    const FakeRegsvr32 regsvr32(folder_, log_);
    EXPECT_EQ(RunInstaller(), kInstallFailure);
    holder.reset();
    EXPECT_EQ(QueuedMovesOnto(Target(held)), 1u);
    EXPECT_NE(::GetFileAttributesW(Target(row).c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(UpperAll(regsvr32.Commands()), ExpectedCommands({L"midas"}));
    EXPECT_EQ(ReadBytes(Target(held)), Bytes("old"));
}

// Whether only Administrators and SYSTEM may change HKLM\\subKey (32-bit view), as its DACL says.
bool OnlyAdministratorsMayChange(const wchar_t* subKey) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, READ_CONTROL | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) {
        return false;
    }
    std::vector<BYTE> descriptor(4096);
    DWORD size = static_cast<DWORD>(descriptor.size());
    const LONG read = ::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor.data(), &size);
    ::RegCloseKey(key);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    // No DACL at all would let everyone do everything.
    if (read != ERROR_SUCCESS || !::GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) ||
        !present || !dacl || dacl->AceCount == 0) {
        return false;
    }
    constexpr ACCESS_MASK kChanges = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | WRITE_DAC | WRITE_OWNER | DELETE |
                                     GENERIC_WRITE | GENERIC_ALL;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace)) {
            return false;
        }
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && (allowed->Mask & kChanges) != 0 &&
            !::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) && !::IsWellKnownSid(sid, WinLocalSystemSid)) {
            return false;
        }
    }
    return true;
}

// Another product shares files with the suite: its installer counted them in
// SharedDLLs, and its uninstaller takes 1 off each count and deletes a file
// whose count that leaves at 0.
TEST_F(InstallerTest, SharedFilesAreCountedOncePerMachineAndOutliveAnotherProductsUninstaller) {
    constexpr wchar_t kCounted[] = L"SOFTWARE\\Orbel\\setup_orbel\\SharedDLLs";
    const FakeRegsvr32 regsvr32(folder_, log_);
    const Row& twice = RowNamed(L"midas");              // counted twice by others
    const Row& once = RowNamed(L"stdvcl40");            // installed by the product that is removed
    const Row& uncounted = RowNamed(L"kwtCorvoLib");    // left by an installer that counted nothing
    const Row& asText = RowNamed(L"ssleay32");          // counted as a string by a careless one
    const Row& full = RowNamed(L"libeay32");            // at the largest count there is
    const std::vector<BYTE> text = {'3', 0, 0, 0};
    for (const Row* row : {&twice, &once, &uncounted}) {
        ASSERT_TRUE(WriteText(Target(*row), "another product's"));
    }
    for (const Row* row : {&twice, &once, &full, &asText}) {
        for (const std::wstring& name : CountNames(*row)) {
            ASSERT_TRUE(row == &asText ? SetRawMachineValue(kSharedDlls, name.c_str(), text, REG_SZ, KEY_WOW64_32KEY)
                                       : SetSharedCount(name, row == &twice ? 2 : row == &once ? 1 : MAXDWORD));
        }
    }
    std::vector<bool> existed;
    for (const Row& row : kRows) {
        existed.push_back(Exists(Target(row)));
    }
    const auto expectCounts = [&] {
        for (size_t i = 0; i < std::size(kRows); ++i) {
            const Row& row = kRows[i];
            // A file that was there uncounted: one for whoever left it, one for the suite.
            const long long expected = &row == &twice ? 3 : &row == &once ? 2 : &row == &full ? static_cast<long long>(MAXDWORD)
                                       : &row == &asText ? -2 : existed[i] ? 2 : 1;
            for (const std::wstring& name : CountNames(row)) {
                SCOPED_TRACE(Narrow(name));
                EXPECT_EQ(SharedCount(name), expected);
                if (OnWow64()) {
                    EXPECT_EQ(SharedCount(name, KEY_WOW64_64KEY), -1) << "counted in the 64-bit view";
                }
                bool present = false;
                DWORD type = 0;
                RawMachineValue(kCounted, name.c_str(), &present, &type, KEY_WOW64_32KEY);
                EXPECT_EQ(present, &row != &asText) << "the record of what was counted";
                if (&row == &asText) {
                    EXPECT_EQ(RawMachineValue(kSharedDlls, name.c_str(), &present, &type, KEY_WOW64_32KEY), text);
                    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
                }
            }
        }
    };
    ASSERT_EQ(RunInstaller(), 0u);
    expectCounts();
    EXPECT_TRUE(OnlyAdministratorsMayChange(kCounted));
    // A count that others took down to nothing took the suite's with it: a run counts it again.
    for (const std::wstring& name : CountNames(kRows[0])) {
        ASSERT_TRUE(DeleteSharedCount(name));
    }
    existed[0] = false;  // counted again as the suite's alone
    ASSERT_EQ(RunInstaller(), 0u);
    expectCounts();
    // The other product is removed, by each name its installer may have counted under.
    for (const std::wstring& name : CountNames(once)) {
        const long long count = SharedCount(name);
        if (count > 1) {
            ASSERT_TRUE(SetSharedCount(name, static_cast<DWORD>(count - 1)));
        } else {
            DeleteSharedCount(name);
            ::DeleteFileW(name.c_str());
        }
    }
    ExpectAllInstalled();
}

// The lock file another run holds while it installs.
std::wstring LockPath() {
    return SystemFolder32() + L"setup_orbel.lock";
}

// Takes the lock as another run would.
UniqueHandle HoldLock() {
    return UniqueHandle{
        OwnedOrNull(::CreateFileW(LockPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr))};
}

// Regsvr32 processes of this Windows, as its process list shows them.
size_t RegistrationProcesses() {
    const UniqueHandle snapshot{OwnedOrNull(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0))};
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    size_t count = 0;
    for (bool more = snapshot && ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        count += ::_wcsicmp(entry.szExeFile, L"regsvr32.exe") == 0 ? 1 : 0;
    }
    return count;
}

TEST_F(InstallerTest, OneInstallAtATimeAndNothingWrittenAfterWaitingInVain) {
    const FakeRegsvr32 regsvr32(folder_, log_);
    const std::wstring shortWait = BuildPath("ORBEL_TEST_SHORT_WAIT_INSTALLER");
    const auto expectNothingWritten = [&] {
        for (const Row& row : kRows) {
            EXPECT_FALSE(ReadBytes(Target(row)) == PayloadBytes(row)) << Narrow(row.fileName);
        }
        EXPECT_EQ(regsvr32.Commands(), std::vector<std::string>{});
    };
    {
        const UniqueHandle held = HoldLock();
        ASSERT_TRUE(held);
        EXPECT_EQ(RunInstaller(shortWait), kInstallAlreadyRunning) << "held past the wait";
        expectNothingWritten();
    }
    {
        // Held by a process that is then killed: its handle goes with it, and the lock is free.
        const ScopedEnv hold(L"ORBEL_FAKE_REGSVR32_HOLD", LockPath());
        const ScopedEnv forever(L"ORBEL_FAKE_REGSVR32_DELAY_MS", L"4294967295");
        const Child holder = Start(Quoted(folder_ + L"regsvr32.exe") + L" /s holder");
        ASSERT_TRUE(holder.process);
        for (int tries = 0; tries < 100 && CanOpenExclusively(LockPath()); ++tries) {
            ::Sleep(50);
        }
        ASSERT_FALSE(CanOpenExclusively(LockPath())) << "the holder did not take the lock";
        ::TerminateProcess(holder.process.get(), 1);
        ::WaitForSingleObject(holder.process.get(), 10000);
    }
    // The lock file left by an earlier run or a power cut, held by nobody: opened again, and left.
    ASSERT_TRUE(WriteText(LockPath(), ""));
    EXPECT_EQ(RunInstaller(shortWait), 0u);
    ExpectAllInstalled();
    EXPECT_TRUE(CanOpenExclusively(LockPath()));
    // Anyone who may list the system folder may open any file in it for its
    // attributes, and keep it open: the next runs go ahead at once.
    {
        const UniqueHandle attributesOnly{OwnedOrNull(::CreateFileW(
            LockPath().c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, 0, nullptr))};
        ASSERT_TRUE(attributesOnly);
        EXPECT_EQ(RunInstaller(shortWait), 0u) << "a run with an attribute handle on the lock open";
        EXPECT_EQ(RunInstaller(shortWait), 0u) << "the run after it";
    }
    // Held for a while: the run waits for it, then does its whole pass.
    UniqueHandle held = HoldLock();
    ASSERT_TRUE(held);
    const size_t before = regsvr32.Commands().size();
    const Child run = Start(Quoted(BuildPath(installerVariable_)));
    ASSERT_TRUE(run.process);
    EXPECT_EQ(::WaitForSingleObject(run.process.get(), 4000), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(regsvr32.Commands().size(), before) << "the waiting run registered";
    held.reset();
    ASSERT_EQ(::WaitForSingleObject(run.process.get(), 120000), WAIT_OBJECT_0);
    DWORD code = 1;
    ::GetExitCodeProcess(run.process.get(), &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(regsvr32.Commands().size(), before + kServerRows);
}

// The mutex name earlier versions locked with, which any user may create: taken
// by anything, it no longer makes a run wait.
TEST_F(InstallerTest, ANameSquattedInTheGlobalNamespaceHoldsNothingUp) {
    const FakeRegsvr32 regsvr32(folder_, log_);
    const std::wstring shortWait = BuildPath("ORBEL_TEST_SHORT_WAIT_INSTALLER");
    constexpr wchar_t kName[] = L"Global\\setup_orbel";
    PSECURITY_DESCRIPTOR denyAll = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P", SDDL_REVISION_1, &denyAll, nullptr));
    SECURITY_ATTRIBUTES nobody{sizeof nobody, denyAll, FALSE};
    for (const char* squatter : {"a held mutex", "a mutex nobody may open", "an event"}) {
        SCOPED_TRACE(squatter);
        const std::string kind = squatter;
        const UniqueHandle name{kind == "an event" ? ::CreateEventW(nullptr, TRUE, FALSE, kName)
                                                   : ::CreateMutexW(kind == "a held mutex" ? nullptr : &nobody,
                                                                    TRUE, kName)};
        ASSERT_TRUE(name);
        EXPECT_EQ(RunInstaller(shortWait), 0u);
        ExpectAllInstalled();
    }
    ::LocalFree(denyAll);
    EXPECT_EQ(regsvr32.Commands().size(), 3 * kServerRows);
}

TEST_F(InstallerTest, ARegistrationThatNeverEndsIsEndedAndTheRunGoesOn) {
    const FakeRegsvr32 regsvr32(folder_, log_);
    const Row& hung = RowNamed(L"msxml6");
    const std::wstring shortWait = BuildPath("ORBEL_TEST_SHORT_WAIT_INSTALLER");
    {
        // It has started a helper of its own, which never ends either: both must go.
        const ScopedEnv hang(L"ORBEL_FAKE_REGSVR32_HANG_ON", hung.fileName);
        const ScopedEnv spawn(L"ORBEL_FAKE_REGSVR32_SPAWN", L"1");
        EXPECT_EQ(RunInstaller(shortWait), kInstallFailure);
    }
    ExpectAllInstalled();
    EXPECT_EQ(UpperAll(regsvr32.Commands()), ExpectedCommands()) << "the rows after it are registered";
    // Ended together, though the helper's end is not waited for: it goes within moments.
    for (int tries = 0; tries < 50 && RegistrationProcesses() > 0; ++tries) {
        ::Sleep(100);
    }
    EXPECT_EQ(RegistrationProcesses(), 0u) << "the registration that never ended, or its helper, is still running";
    EXPECT_TRUE(CanOpenExclusively(LockPath()) || !Exists(LockPath()));
    EXPECT_EQ(RunInstaller(shortWait), 0u) << "the next run gets the lock at once";
}

// A queue value's bytes: each text in UTF-16 with its NUL.
std::vector<BYTE> Strings(std::initializer_list<std::wstring> texts) {
    std::vector<BYTE> bytes;
    for (const std::wstring& text : texts) {
        const BYTE* at = reinterpret_cast<const BYTE*>(text.c_str());
        bytes.insert(bytes.end(), at, at + (text.size() + 1) * sizeof(wchar_t));
    }
    return bytes;
}
std::vector<BYTE> operator+(std::vector<BYTE> a, const std::vector<BYTE>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A queue's value as stored, which must be a REG_MULTI_SZ where there is one.
std::vector<BYTE> RawQueueValue(int which) {
    bool present = false;
    DWORD type = 0;
    const std::vector<BYTE> value = RawQueue(&present, &type, kQueueValues[which]);
    EXPECT_TRUE(!present || type == REG_MULTI_SZ);
    return value;
}
bool SetQueueValue(int which, const std::vector<BYTE>& value) {
    return SetRawQueue(value, REG_MULTI_SZ, kQueueValues[which]);
}

TEST_F(InstallerTest, OtherProgramsQueuedMovesAreKeptByteForByteWhateverTheValueHolds) {
    const FakeRegsvr32 regsvr32(folder_, log_);
    const Row& row = RowNamed(L"CorvoGovX");
    // An earlier run's replacement of a row that was in use, waiting for a restart that has not come.
    const std::wstring ours = Target(row) + L".orbel-4000000-0.tmp";
    const std::vector<BYTE> ourMove = Strings({L"\\??\\" + ours, L"!\\??\\" + Target(row)});
    // As Windows 10 and 11 queue since their 2025 updates, with a bookkeeping mark.
    const std::vector<BYTE> ourMoveToday = Strings({L"*1\\??\\" + ours, L"*2!\\??\\" + Target(row)});
    const std::vector<BYTE> foreignToday =
        Strings({L"*1\\??\\C:\\windows\\C.new", L"*1!\\??\\C:\\windows\\C.dll", L"*2\\??\\C:\\windows\\D.tmp", L""});
    const std::vector<BYTE> foreign = Strings({L"\\??\\C:\\windows\\B.new", L"!\\??\\C:\\windows\\B.dll"});
    const std::vector<BYTE> end = Strings({L""});
    std::vector<BYTE> many[2];
    for (int half = 0; half < 2; ++half) {
        for (int i = 0; many[half].size() < 5000000; ++i) {
            const std::wstring name = L"C:\\windows\\temp\\other" + std::to_wstring(half) + L"-" + std::to_wstring(i);
            const std::vector<BYTE> move = Strings({L"\\??\\" + name + L".new", L"!\\??\\" + name + L".dll"});
            many[half].insert(many[half].end(), move.begin(), move.end());
        }
    }
    const struct {
        const char* what;
        std::vector<BYTE> rest;
        std::vector<BYTE> before;
        int queue = 0;
        const std::vector<BYTE>* move = nullptr;
    } cases[] = {
        {"an empty string where a source belongs", end + foreign + end, {}},
        {"a source without a target at the end", foreign + Strings({L"\\??\\C:\\windows\\lone"}), {}},
        {"a delete entry", Strings({L"\\??\\C:\\windows\\gone.tmp", L""}) + end, {}},
        {"another program's replacement of the same file",
         Strings({L"\\??\\" + Target(row) + L".new", L"!\\??\\" + Target(row)}) + end, {}},
        {"an odd byte count", foreign + end + std::vector<BYTE>{0x41}, {}},
        {"ten megabytes with ours in the middle", many[1] + end, many[0]},
        {"today's form", foreignToday + end, foreignToday, 0, &ourMoveToday},
        {"today's form in the second value", foreignToday + end, foreignToday, 1, &ourMoveToday},
        {"the old form in the second value", foreign + end, {}, 1},
    };
    for (const auto& scene : cases) {
        SCOPED_TRACE(scene.what);
        ASSERT_TRUE(WriteText(ours, "an older version of ours"));
        ASSERT_TRUE(SetQueueValue(scene.queue, scene.before + (scene.move ? *scene.move : ourMove) + scene.rest));
        EXPECT_EQ(RunInstaller(), 0u);
        ExpectInstalled(row);
        const std::vector<BYTE> after = RawQueueValue(scene.queue);
        EXPECT_EQ(after.size(), scene.before.size() + scene.rest.size());
        EXPECT_TRUE(after == scene.before + scene.rest) << "the other programs' bytes changed";
        EXPECT_FALSE(Exists(ours));
        ASSERT_TRUE(SetQueueValue(scene.queue, end));
    }
}

// Windows 10 and 11 mark each queued path ("*1\\??\\...") since their 2025
// updates, and other programs queue in the second value too: a run and the
// boot program know their own entries there as well.
TEST_F(InstallerTest, MovesQueuedInTodaysFormAreKnownInBothValues) {
    const FakeRegsvr32 regsvr32(folder_, log_);
    const Row& row = RowNamed(L"CorvoX");
    ASSERT_TRUE(WriteText(Target(row), "old"));
    UniqueHandle holder = HoldExclusively(Target(row));
    ASSERT_TRUE(holder);
    // An earlier run queued this content already; the boot program's last start
    // queued its own deletion, which must not take the new boot program with it.
    const std::wstring ours = Target(row) + L".orbel-4000000-0.tmp";
    ASSERT_TRUE(WriteBytes(ours, PayloadBytes(row)));
    const std::wstring bootProgram = folder_ + L"setup_orbel_boot.exe";
    const std::vector<BYTE> end = Strings({L""});
    const std::vector<BYTE> foreign = Strings({L"*1\\??\\C:\\windows\\B.new", L"*2!\\??\\C:\\windows\\B.dll"});
    const std::vector<BYTE> first = foreign + Strings({L"*1\\??\\" + ours, L"*1!\\??\\" + Target(row)}) + end;
    ASSERT_TRUE(SetQueueValue(0, first));
    ASSERT_TRUE(SetQueueValue(1, Strings({L"*2\\??\\" + bootProgram, L""}) + foreign + end));
    EXPECT_EQ(RunInstaller(), kRestartRequired);
    EXPECT_EQ(RawQueueValue(0), first) << "queued again, or another program's bytes changed";
    EXPECT_EQ(RawQueueValue(1), foreign + end) << "the boot program's deletion is still queued";
    EXPECT_EQ(FindNames(folder_, std::wstring(row.fileName) + L".orbel-*.tmp"),
              std::vector<std::wstring>{L"CorvoX.dll.orbel-4000000-0.tmp"});
    EXPECT_TRUE(Exists(bootProgram));

    // Its service started by hand before the restart sees its move still queued, and does nothing.
    const auto failedStarts = [] {
        bool present = false;
        DWORD type = 0;
        return RawMachineValue(L"SYSTEM\\CurrentControlSet\\Services\\setup_orbel_boot", L"FailedStarts", &present,
                               &type, KEY_WOW64_64KEY);
    };
    const std::vector<BYTE> none(4, 0);
    ASSERT_EQ(failedStarts(), none);
    const size_t registered = regsvr32.Commands().size();
    const SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service =
        manager ? ::OpenServiceW(manager, L"setup_orbel_boot", SERVICE_START | SERVICE_QUERY_STATUS) : nullptr;
    ASSERT_TRUE(service);
    ASSERT_TRUE(::StartServiceW(service, 0, nullptr));
    SERVICE_STATUS status{};
    for (int tries = 0; tries < 600 && ::QueryServiceStatus(service, &status) &&
                        status.dwCurrentState != SERVICE_STOPPED; ++tries) {
        ::Sleep(100);
    }
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
    EXPECT_EQ(failedStarts(), none) << "the boot program counted a failed start";
    EXPECT_EQ(regsvr32.Commands().size(), registered);
    EXPECT_TRUE(Exists(bootProgram));
    EXPECT_EQ(RawQueueValue(1), foreign + end);
    holder.reset();
}

TEST_F(InstallerTest, ReadOnlyTargetKeepsItsBytes) {
    const Row& row = RowNamed(L"CorvoGovX");
    ASSERT_TRUE(WriteText(Target(row), "old read-only control"));
    ASSERT_TRUE(::SetFileAttributesW(Target(row).c_str(), FILE_ATTRIBUTE_READONLY));
    const FakeRegsvr32 regsvr32(folder_, log_);
    EXPECT_EQ(RunInstaller(), kInstallFailure);
    EXPECT_EQ(ReadBytes(Target(row)), Bytes("old read-only control"));
    EXPECT_EQ(UpperAll(regsvr32.Commands()), ExpectedCommands());
    ::SetFileAttributesW(Target(row).c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(CanOpenExclusively(Target(row)));
}

TEST_F(InstallerTest, RegistrationToolThatFailsFailsTheRunButEveryRowIsInstalled) {
    const FakeRegsvr32 regsvr32(folder_, log_, 5);
    EXPECT_EQ(RunInstaller(), kInstallFailure);
    EXPECT_EQ(UpperAll(regsvr32.Commands()), ExpectedCommands());
    ExpectAllInstalled();
}

TEST_F(InstallerTest, NoRegistrationToolFailsTheRunButEveryFileIsWritten) {
    ASSERT_TRUE(::DeleteFileW((folder_ + L"regsvr32.exe").c_str()));
    EXPECT_EQ(RunInstaller(), kInstallFailure);
    ExpectAllInstalled();
}

TEST_F(InstallerTest, MissingPayloadNeverEmptiesTheTarget) {
    // This build of the installer lacks both midas payloads.
    const std::wstring installer = BuildPath("ORBEL_TEST_MISSING_INSTALLER");
    const Row& row = RowNamed(L"midas");
    ASSERT_TRUE(WriteText(Target(row), "old midas"));
    const FakeRegsvr32 regsvr32(folder_, log_);
    EXPECT_EQ(RunInstaller(installer), kInstallFailure);
    EXPECT_EQ(ReadBytes(Target(row)), Bytes("old midas"));
    // The old file is still registered, as any file found at the target is.
    EXPECT_EQ(UpperAll(regsvr32.Commands()), ExpectedCommands());
    ExpectAllInstalled(&row);

    ASSERT_TRUE(::DeleteFileW(Target(row).c_str()));
    EXPECT_EQ(RunInstaller(installer), kInstallFailure);
    EXPECT_FALSE(Exists(Target(row)));
    EXPECT_EQ(UpperAll(regsvr32.Commands()).size(), 2 * kServerRows - 1);
}

}  // namespace
}  // namespace orbel::test
