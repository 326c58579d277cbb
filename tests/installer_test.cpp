// The whole installer, run as administrators run it, and what Windows shows
// afterwards: the files in the system folder, the registry, a script client's
// view of the servers, the registration commands and the exit code.

#include <gtest/gtest.h>

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

TEST_F(InstallerTest, TargetHeldOpenKeepsItsBytesIsStillRegisteredAndFailsTheRun) {
    const Row& row = RowNamed(L"CorvoX");
    ASSERT_TRUE(WriteText(Target(row), "old CorvoX"));
    const FakeRegsvr32 regsvr32(folder_, log_);
    {
        const UniqueHandle holder = HoldExclusively(Target(row));
        ASSERT_TRUE(holder);
        EXPECT_EQ(RunInstaller(), kInstallFailure);
    }
    EXPECT_EQ(ReadBytes(Target(row)), Bytes("old CorvoX"));
    EXPECT_EQ(UpperAll(regsvr32.Commands()), ExpectedCommands());
    ExpectAllInstalled(&row);
    EXPECT_TRUE(CanOpenExclusively(Target(row)));
}

TEST_F(InstallerTest, EveryTargetHeldOpenStillRegistersTheSixOldFiles) {
    std::vector<UniqueHandle> holders;
    for (const Row& row : kRows) {
        ASSERT_TRUE(WriteText(Target(row), "old"));
        holders.push_back(HoldExclusively(Target(row)));
        ASSERT_TRUE(holders.back());
    }
    const FakeRegsvr32 regsvr32(folder_, log_);
    EXPECT_EQ(RunInstaller(), kInstallFailure);
    holders.clear();
    EXPECT_EQ(UpperAll(regsvr32.Commands()), ExpectedCommands());
    for (const Row& row : kRows) {
        EXPECT_EQ(ReadBytes(Target(row)), Bytes("old")) << Narrow(row.fileName);
    }
}

TEST_F(InstallerTest, DirectoryAtATargetIsLeftAndNotRegistered) {
    const Row& row = RowNamed(L"midas");
    ASSERT_TRUE(::CreateDirectoryW(Target(row).c_str(), nullptr));
    const FakeRegsvr32 regsvr32(folder_, log_);
    EXPECT_EQ(RunInstaller(), kInstallFailure);
    EXPECT_NE(::GetFileAttributesW(Target(row).c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(UpperAll(regsvr32.Commands()), ExpectedCommands({L"midas"}));
    ExpectAllInstalled(&row);
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
