// InstallComponent, called in this process: the payloads are this test
// program's own resources, the target is the real system folder of the
// throwaway Windows the test runs in.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "setup_orbel.h"
#include "winsvc/winsvc.h"
#include "support/support.h"

namespace orbel::test {
namespace {

// The pattern the blob payloads are made of.
std::vector<BYTE> Pattern(size_t size) {
    std::vector<BYTE> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<BYTE>((static_cast<uint32_t>(i) * 2654435761u) >> 24);
    }
    return bytes;
}

std::string TinyPayload() {
    return OnWow64() ? "64 tiny payload\n" : "32 tiny payload\n";
}

class InstallComponentTest : public testing::Test {
protected:
    void TearDown() override {
        ExpectNoStrayTemps(folder_);
    }

    std::wstring Target(const std::wstring& fileName) const { return folder_ + fileName; }

    std::wstring folder_ = SystemFolder32();
    TempDir temp_;
};

TEST_F(InstallComponentTest, WritesThePayloadOfTheRunningVariant) {
    const std::wstring target = Target(L"OrbelTestTiny.bin");
    ASSERT_FALSE(Exists(target));
    EXPECT_EQ(RowState::kInPlace, InstallComponent(L".bin", L"OrbelTestTiny", false));
    EXPECT_EQ(ReadBytes(target), Bytes(TinyPayload()));
    EXPECT_TRUE(CanOpenExclusively(target)) << "a handle to the target was left open";
}

TEST_F(InstallComponentTest, EmptyPayloadGivesAnEmptyFile) {
    const std::wstring target = Target(L"OrbelTestEmpty.ocx");
    ASSERT_TRUE(WriteText(target, "old content that must go"));
    EXPECT_EQ(RowState::kInPlace, InstallComponent(L".ocx", L"OrbelTestEmpty", false));
    bool read = false;
    EXPECT_EQ(ReadBytes(target, &read), std::vector<BYTE>{});
    EXPECT_TRUE(read);
}

TEST_F(InstallComponentTest, CopiesWholeAcrossChunkBoundaries) {
    const struct {
        const wchar_t* baseName;
        size_t size;
    } cases[] = {
        {L"OrbelChunkBelow", kCopyChunk - 1},
        {L"OrbelChunkExact", kCopyChunk},
        {L"OrbelChunkAbove", kCopyChunk + 1},
        {L"OrbelChunkThree", 3 * kCopyChunk + 12345},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.baseName));
        const std::wstring target = Target(std::wstring(c.baseName) + L".dll");
        // A longer old file shows whether the new one is cut to the payload's length.
        ASSERT_TRUE(WriteBytes(target, std::vector<BYTE>(c.size + 4096, 0xEE)));
        EXPECT_EQ(RowState::kInPlace, InstallComponent(L".dll", c.baseName, false));
        const std::vector<BYTE> written = ReadBytes(target);
        EXPECT_EQ(written.size(), c.size);
        EXPECT_TRUE(written == Pattern(c.size)) << "content differs from the payload";
    }
}

TEST_F(InstallComponentTest, InstallingTwiceGivesTheSameContent) {
    const std::wstring target = Target(L"OrbelTestTiny.bin");
    EXPECT_EQ(RowState::kInPlace, InstallComponent(L".bin", L"OrbelTestTiny", false));
    EXPECT_EQ(RowState::kInPlace, InstallComponent(L".bin", L"OrbelTestTiny", false));
    EXPECT_EQ(ReadBytes(target), Bytes(TinyPayload()));
}

TEST_F(InstallComponentTest, MissingPayloadLeavesTheTargetUntouched) {
    const std::wstring target = Target(L"OrbelTestAbsent.dll");
    ASSERT_TRUE(WriteText(target, "working old library"));
    EXPECT_EQ(RowState::kFailed, InstallComponent(L".dll", L"OrbelTestAbsent", false));
    EXPECT_EQ(ReadBytes(target), Bytes("working old library"));

    const std::wstring absent = Target(L"OrbelTestNever.dll");
    EXPECT_EQ(RowState::kFailed, InstallComponent(L".dll", L"OrbelTestNever", false));
    EXPECT_FALSE(Exists(absent)) << "an empty file was made for a payload the executable lacks";
}

// Held as a loaded library is: readable by others, but not replaceable.
UniqueHandle HoldAsLoaded(const std::wstring& path) {
    return UniqueHandle{OwnedOrNull(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr))};
}

TEST_F(InstallComponentTest, QueuesThePayloadOfAFileHeldOpenAndKeepsOtherProgramsQueuedMoves) {
    const std::wstring target = Target(L"OrbelTestTiny.bin");
    ASSERT_TRUE(WriteText(target, "old bytes"));
    // Another program's replacement of the same file, and an older one of ours, wait for the next start.
    const std::wstring others = Target(L"OrbelOtherProgram.new");
    const std::wstring older = target + L".orbel-4000000-0.tmp";
    ASSERT_TRUE(WriteText(others, "another program's version"));
    ASSERT_TRUE(WriteText(older, "an older version of ours"));
    for (const std::wstring& source : {others, older}) {
        ASSERT_TRUE(::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
    }
    {
        const UniqueHandle holder = HoldExclusively(target);
        ASSERT_TRUE(holder);
        EXPECT_EQ(RowState::kPending, InstallComponent(L".bin", L"OrbelTestTiny", false));
    }
    EXPECT_EQ(ReadBytes(target), Bytes("old bytes"));
    EXPECT_TRUE(CanOpenExclusively(target));
    EXPECT_FALSE(Exists(older));
    EXPECT_EQ(QueuedTargetsOf(older).size(), 0u);
    EXPECT_EQ(QueuedMovesOnto(target), 2u);
    // Already holding the payload while in use: in place, and ours no longer queued.
    ASSERT_TRUE(WriteText(target, TinyPayload()));
    {
        const UniqueHandle holder = HoldAsLoaded(target);
        ASSERT_TRUE(holder);
        EXPECT_EQ(RowState::kInPlace, InstallComponent(L".bin", L"OrbelTestTiny", false));
    }
    EXPECT_EQ(QueuedMovesOnto(target), 1u);
    // Queued again, then free: replaced now, and again nothing of ours stays queued.
    ASSERT_TRUE(WriteText(target, "old bytes"));
    {
        const UniqueHandle holder = HoldExclusively(target);
        EXPECT_EQ(RowState::kPending, InstallComponent(L".bin", L"OrbelTestTiny", false));
    }
    EXPECT_EQ(RowState::kInPlace, InstallComponent(L".bin", L"OrbelTestTiny", false));
    EXPECT_EQ(ReadBytes(target), Bytes(TinyPayload()));
    EXPECT_EQ(FindNames(folder_, L"OrbelTestTiny.bin.orbel-*.tmp"), std::vector<std::wstring>{});
    EXPECT_EQ(ReadBytes(others), Bytes("another program's version"));
    EXPECT_EQ(QueuedTargetsOf(others).size(), 1u);
    EXPECT_EQ(QueuedMovesOnto(target), 1u);
}

TEST_F(InstallComponentTest, AMoveAnotherProgramQueuesWhileTheQueueIsEditedIsKept) {
    const std::wstring target = Target(L"OrbelTestTiny.bin");
    const std::wstring older = target + L".orbel-4000000-0.tmp";
    static std::wstring other;
    other = Target(L"OrbelOtherProgram.new");
    ASSERT_TRUE(WriteText(target, "old bytes"));
    ASSERT_TRUE(WriteText(older, "an older version of ours"));
    ASSERT_TRUE(WriteText(other, "another program's version"));
    ASSERT_TRUE(::MoveFileExW(older.c_str(), target.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
    // Between the edit's reading of the queue and its writing, another program queues a move.
    static int edits;
    edits = 0;
    queueEditSeam = [] {
        if (edits++ == 0) {
            ::MoveFileExW(other.c_str(), (other + L".dll").c_str(), MOVEFILE_DELAY_UNTIL_REBOOT);
        }
    };
    EXPECT_EQ(RowState::kInPlace, InstallComponent(L".bin", L"OrbelTestTiny", false));
    queueEditSeam = nullptr;
    EXPECT_EQ(edits, 2) << "the edit should have started over once";
    EXPECT_EQ(QueuedTargetsOf(other).size(), 1u) << "the other program's move was lost";
    EXPECT_EQ(QueuedMovesOnto(target), 0u);
    EXPECT_FALSE(Exists(older));
}

TEST_F(InstallComponentTest, AQueueThatCannotBeReadIsNotTakenForAnEmptyOne) {
    const std::wstring target = Target(L"OrbelTestTiny.bin");
    const std::wstring queued = target + L".orbel-4000000-0.tmp";
    ASSERT_TRUE(WriteText(queued, "queued by an earlier run"));
    ASSERT_TRUE(SetRawQueue(Bytes("not a list of moves"), REG_BINARY));
    EXPECT_EQ(RowState::kInPlace, InstallComponent(L".bin", L"OrbelTestTiny", false));
    EXPECT_TRUE(Exists(queued)) << "a file the queue may still name was removed as a leftover";
    bool present = false;
    DWORD type = 0;
    EXPECT_TRUE(RawQueue(&present, &type) == Bytes("not a list of moves") && type == REG_BINARY);
    ::DeleteFileW(queued.c_str());
    ASSERT_TRUE(SetRawQueue({0, 0}));
}

TEST_F(InstallComponentTest, FileInUseCountsAsInstalledOnlyWhenItHoldsExactlyThePayload) {
    // Not the payload: its last byte changed, past the first piece compared; or one byte more.
    const std::wstring three = Target(L"OrbelChunkThree.dll");
    std::vector<BYTE> lastDiffers = Pattern(3 * kCopyChunk + 12345);
    lastDiffers.back() ^= 0xFF;
    std::vector<BYTE> oneMore = Pattern(3 * kCopyChunk + 12345);
    oneMore.push_back(0);
    for (const std::vector<BYTE>& bytes : {lastDiffers, oneMore}) {
        ASSERT_TRUE(WriteBytes(three, bytes));
        {
            const UniqueHandle holder = HoldAsLoaded(three);
            ASSERT_TRUE(holder);
            EXPECT_EQ(RowState::kPending, InstallComponent(L".dll", L"OrbelChunkThree", false)) << bytes.size();
        }
        EXPECT_TRUE(ReadBytes(three) == bytes);
    }
    const std::wstring target = Target(L"OrbelTestTiny.bin");
    ASSERT_TRUE(WriteText(target, TinyPayload()));
    const UniqueHandle holder = HoldAsLoaded(target);
    ASSERT_TRUE(holder);
    EXPECT_EQ(RowState::kInPlace, InstallComponent(L".bin", L"OrbelTestTiny", false));
    EXPECT_EQ(ReadBytes(target), Bytes(TinyPayload()));
}

TEST_F(InstallComponentTest, KeepsAReadOnlyFile) {
    const std::wstring target = Target(L"OrbelTestTiny.bin");
    ASSERT_TRUE(WriteText(target, "read-only old bytes"));
    ASSERT_TRUE(::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(RowState::kFailed, InstallComponent(L".bin", L"OrbelTestTiny", false));
    EXPECT_EQ(ReadBytes(target), Bytes("read-only old bytes"));
    EXPECT_NE(::GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(InstallComponentTest, LeavesADirectoryAtTheTargetAndRegistersNothing) {
    const std::wstring target = Target(L"OrbelTestTiny.bin");
    ASSERT_TRUE(::CreateDirectoryW(target.c_str(), nullptr));
    const FakeRegsvr32 regsvr32(folder_, temp_.path() + L"commands.txt");
    EXPECT_EQ(RowState::kFailed, InstallComponent(L".bin", L"OrbelTestTiny", true));
    EXPECT_NE(::GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(regsvr32.Commands(), std::vector<std::string>{});
    ::RemoveDirectoryW(target.c_str());
}

TEST_F(InstallComponentTest, RemovesTheTemporaryFileOfAKilledRunOnly) {
    // A process that has ended stands for a killed installer.
    const Child ended = Start(Quoted(SelfPath()) + L" --sleep 0");
    ASSERT_TRUE(ended.process);
    ::WaitForSingleObject(ended.process.get(), INFINITE);
    const Child running = Start(Quoted(SelfPath()) + L" --sleep 60000");
    ASSERT_TRUE(running.process);

    const std::wstring target = Target(L"OrbelTestTiny.bin");
    const std::wstring stale = target + L".orbel-" + std::to_wstring(ended.id) + L"-0.tmp";
    const std::wstring live = target + L".orbel-" + std::to_wstring(running.id) + L"-0.tmp";
    const std::wstring unrelated = Target(L"OrbelTestTinyX.bin.orbel-1-0.tmp");
    ASSERT_TRUE(WriteText(stale, "left by a killed run"));
    ASSERT_TRUE(WriteText(live, "being written by another run"));
    ASSERT_TRUE(WriteText(unrelated, "another component's"));
    // Left by a run before a restart, whose id a process started since then carries.
    const std::wstring before = Target(L"OrbelTestTiny.bin.left");
    ASSERT_TRUE(WriteText(before, "left before the restart"));
    ::Sleep(50);
    const Child later = Start(Quoted(SelfPath()) + L" --sleep 60000");
    ASSERT_TRUE(later.process);
    const std::wstring reused = target + L".orbel-" + std::to_wstring(later.id) + L"-0.tmp";
    ASSERT_TRUE(::MoveFileW(before.c_str(), reused.c_str()));

    EXPECT_EQ(RowState::kInPlace, InstallComponent(L".bin", L"OrbelTestTiny", false));
    EXPECT_FALSE(Exists(stale));
    EXPECT_FALSE(Exists(reused)) << "a leftover was kept for a process that started after it was written";
    ::TerminateProcess(later.process.get(), 0);
    ::WaitForSingleObject(later.process.get(), INFINITE);
    EXPECT_TRUE(Exists(live)) << "the temporary file of a running installer was deleted";
    EXPECT_TRUE(Exists(unrelated));

    ::TerminateProcess(running.process.get(), 0);
    ::WaitForSingleObject(running.process.get(), INFINITE);
    ::DeleteFileW(live.c_str());
    ::DeleteFileW(unrelated.c_str());
}

class RegistrationTest : public InstallComponentTest {
protected:
    std::wstring ExpectedCommand(const std::wstring& fileName) const {
        return L"\"" + folder_ + L"regsvr32.exe\" /s \"" + folder_ + fileName + L"\"";
    }
    std::wstring log_ = temp_.path() + L"commands.txt";
};

TEST_F(RegistrationTest, RunsTheQuotedToolOfTheSameFolderSilently) {
    const FakeRegsvr32 regsvr32(folder_, log_);
    EXPECT_EQ(RowState::kInPlace, InstallComponent(L".bin", L"OrbelTestTiny", true));
    const std::vector<std::string> commands = regsvr32.Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(Upper(Widen(commands[0])), Upper(ExpectedCommand(L"OrbelTestTiny.bin")));
}

TEST_F(RegistrationTest, NeverStartsAProcessForAnEntryNotToRegister) {
    const FakeRegsvr32 regsvr32(folder_, log_);
    EXPECT_EQ(RowState::kInPlace, InstallComponent(L".bin", L"OrbelTestTiny", false));
    EXPECT_TRUE(Exists(Target(L"OrbelTestTiny.bin")));
    EXPECT_EQ(regsvr32.Commands(), std::vector<std::string>{});
}

TEST_F(RegistrationTest, RegistersTwiceWhenInstalledTwice) {
    const FakeRegsvr32 regsvr32(folder_, log_);
    EXPECT_EQ(RowState::kInPlace, InstallComponent(L".bin", L"OrbelTestTiny", true));
    EXPECT_EQ(RowState::kInPlace, InstallComponent(L".bin", L"OrbelTestTiny", true));
    EXPECT_EQ(regsvr32.Commands().size(), 2u);
    EXPECT_EQ(ReadBytes(Target(L"OrbelTestTiny.bin")), Bytes(TinyPayload()));
}

TEST_F(RegistrationTest, RegistersAFileHeldOpenWhoseReplacementWaitsForTheNextStart) {
    const std::wstring target = Target(L"OrbelTestTiny.bin");
    ASSERT_TRUE(WriteText(target, "old server"));
    const FakeRegsvr32 regsvr32(folder_, log_);
    const UniqueHandle holder = HoldExclusively(target);
    ASSERT_TRUE(holder);
    EXPECT_EQ(RowState::kPending, InstallComponent(L".bin", L"OrbelTestTiny", true));
    EXPECT_EQ(regsvr32.Commands().size(), 1u);
}

TEST_F(RegistrationTest, RegistersAnExistingFileWhenThePayloadIsMissing) {
    const std::wstring target = Target(L"OrbelTestAbsent.dll");
    ASSERT_TRUE(WriteText(target, "old server"));
    const FakeRegsvr32 regsvr32(folder_, log_);
    EXPECT_EQ(RowState::kFailed, InstallComponent(L".dll", L"OrbelTestAbsent", true));
    EXPECT_EQ(regsvr32.Commands().size(), 1u);
    EXPECT_EQ(ReadBytes(target), Bytes("old server"));
}

TEST_F(RegistrationTest, NoFileNoProcess) {
    const FakeRegsvr32 regsvr32(folder_, log_);
    EXPECT_EQ(RowState::kFailed, InstallComponent(L".dll", L"OrbelTestNever", true));
    EXPECT_EQ(regsvr32.Commands(), std::vector<std::string>{});
}

TEST_F(RegistrationTest, ToolThatFailsFailsTheRow) {
    const FakeRegsvr32 regsvr32(folder_, log_, 5);
    EXPECT_EQ(RowState::kFailed, InstallComponent(L".bin", L"OrbelTestTiny", true));
    EXPECT_EQ(regsvr32.Commands().size(), 1u);
    EXPECT_EQ(ReadBytes(Target(L"OrbelTestTiny.bin")), Bytes(TinyPayload()));
}

TEST_F(RegistrationTest, MissingToolFailsTheRow) {
    ASSERT_TRUE(::DeleteFileW((folder_ + L"regsvr32.exe").c_str()));
    EXPECT_EQ(RowState::kFailed, InstallComponent(L".bin", L"OrbelTestTiny", true));
    EXPECT_EQ(ReadBytes(Target(L"OrbelTestTiny.bin")), Bytes(TinyPayload()));
}

class TargetExistsTest : public testing::Test {
protected:
    TempDir temp_;
};

TEST_F(TargetExistsTest, AFileExistsAndADirectoryDoesNot) {
    const std::wstring file = temp_.path() + L"file.dll";
    ASSERT_TRUE(WriteText(file, "x"));
    EXPECT_TRUE(TargetExists(ToText(file)));
    EXPECT_FALSE(TargetExists(ToText(temp_.path() + L".")));
    const std::wstring folder = temp_.path() + L"folder.dll";
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    EXPECT_FALSE(TargetExists(ToText(folder)));
}

TEST_F(TargetExistsTest, AFileHeldOpenExclusivelyExists) {
    const std::wstring file = temp_.path() + L"held.dll";
    ASSERT_TRUE(WriteText(file, "x"));
    const UniqueHandle holder = HoldExclusively(file);
    ASSERT_TRUE(holder);
    EXPECT_TRUE(TargetExists(ToText(file)));
}

TEST_F(TargetExistsTest, MissingFilesFoldersAndInvalidNamesDoNotExist) {
    const struct {
        std::wstring path;
        DWORD error;
    } cases[] = {
        {temp_.path() + L"absent.dll", ERROR_FILE_NOT_FOUND},
        {temp_.path() + L"absent\\file.dll", ERROR_PATH_NOT_FOUND},
        {temp_.path() + L"bad<name>.dll", ERROR_INVALID_NAME},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.path));
        // The path must really take the branch its error code names.
        ::SetLastError(0xdeadbeef);
        ASSERT_EQ(::GetFileAttributesW(c.path.c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(::GetLastError(), c.error);
        EXPECT_FALSE(TargetExists(ToText(c.path)));
    }
}

TEST_F(TargetExistsTest, AttributesWithheldForAnotherReasonLetTheDirectoryListingDecide) {
    // An unreachable network path fails with neither "not found" nor "invalid name".
    const std::wstring path = L"\\\\orbel-no-such-host\\share\\CorvoX.dll";
    ::SetLastError(0xdeadbeef);
    ASSERT_EQ(::GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
    const DWORD error = ::GetLastError();
    ASSERT_NE(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_NE(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    ASSERT_NE(error, static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_FALSE(TargetExists(ToText(path)));
}

// The Unix path Wine maps a Windows path to; empty outside Wine.
std::string UnixPath(const std::wstring& path) {
    using UnixNameFn = char*(CDECL*)(LPCWSTR);
    const auto unixName = reinterpret_cast<UnixNameFn>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = unixName ? unixName(path.c_str()) : nullptr;
    const std::string unix = name ? name : "";
    if (name) {
        ::HeapFree(::GetProcessHeap(), 0, name);
    }
    return unix;
}

// Makes a symbolic link, with CreateSymbolicLinkW where Windows makes one and
// else, under Wine, with the Unix ln. Answers how it was made, empty if it could not be.
std::string MakeLink(const std::wstring& link, const std::wstring& target, bool directory) {
    using CreateSymbolicLinkFn = BOOLEAN(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
    const auto createSymbolicLink = reinterpret_cast<CreateSymbolicLinkFn>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "CreateSymbolicLinkW")));
    if (createSymbolicLink && createSymbolicLink(link.c_str(), target.c_str(), directory ? 1 : 0)) {
        const DWORD attributes = ::GetFileAttributesW(link.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            return "CreateSymbolicLinkW";
        }
    }
    // Wine's CreateSymbolicLinkW answers success but makes nothing, and Wine
    // shows a Unix link as a link (to a folder) or as its target (to a file).
    const std::string unixLink = UnixPath(link);
    const std::string unixTarget = UnixPath(target);
    const std::wstring marker = link + L".made";
    if (unixLink.empty() || unixTarget.empty()) {
        return {};
    }
    Start(L"Z:\\bin\\sh -c \"ln -s '" + Widen(unixTarget) + L"' '" + Widen(unixLink) + L"' && touch '" +
          Widen(UnixPath(marker)) + L"'\"");
    for (int i = 0; i < 200 && !Exists(marker); ++i) {
        ::Sleep(25);
    }
    const bool made = ::DeleteFileW(marker.c_str()) != 0;
    return made ? "a Unix symbolic link (Wine's CreateSymbolicLinkW makes none)" : "";
}

TEST_F(TargetExistsTest, SymbolicLinksCountOnlyWhenTheyLeadToAFile) {
    const std::wstring file = temp_.path() + L"real.dll";
    const std::wstring folder = temp_.path() + L"folder";
    ASSERT_TRUE(WriteText(file, "x"));
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    const struct {
        const wchar_t* link;
        std::wstring target;
        bool directory;
        bool exists;
    } cases[] = {
        {L"to-file.dll", file, false, true},
        {L"to-folder.dll", folder, true, false},
        {L"dangling.dll", temp_.path() + L"gone.dll", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.link));
        const std::wstring link = temp_.path() + c.link;
        const std::string how = MakeLink(link, c.target, c.directory);
        if (how.empty()) {
            GTEST_SKIP() << "this Windows can make no symbolic link: neither CreateSymbolicLinkW nor a Unix ln worked";
        }
        std::printf("%s: %s, attributes %#lx\n", Narrow(c.link).c_str(), how.c_str(),
                    ::GetFileAttributesW(link.c_str()));
        EXPECT_EQ(TargetExists(ToText(link)), c.exists);
    }
    // A link to a file that another process holds exclusively still counts.
    const UniqueHandle holder = HoldExclusively(file);
    ASSERT_TRUE(holder);
    EXPECT_TRUE(TargetExists(ToText(temp_.path() + L"to-file.dll")));
}

TEST_F(RegistrationTest, ALinkToAFolderAtTheTargetIsNotRegistered) {
    const std::wstring folder = temp_.path() + L"folder";
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    if (MakeLink(Target(L"OrbelTestTiny.bin"), folder, true).empty()) {
        GTEST_SKIP() << "this Windows can make no symbolic link: neither CreateSymbolicLinkW nor a Unix ln worked";
    }
    const FakeRegsvr32 regsvr32(folder_, log_);
    EXPECT_EQ(RowState::kFailed, InstallComponent(L".bin", L"OrbelTestTiny", true));
    EXPECT_EQ(regsvr32.Commands(), std::vector<std::string>{});
    EXPECT_TRUE(Exists(folder));
}

}  // namespace
}  // namespace orbel::test
