// The installer under the faults it meets in the field, with payloads sized
// like production ones: killed while it writes, started twice at once, run
// over and over. Whatever happens, each component in the system folder is its
// old version or its complete new one, and the exit code tells the truth.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "support/installer_fixture.h"

namespace orbel::test {
namespace {

class FaultTest : public InstallerFixture {
protected:
    FaultTest() {
        installerVariable_ = "ORBEL_TEST_SIZED_INSTALLER";
        payloadsVariable_ = "ORBEL_TEST_SIZED_PAYLOADS";
    }

    // What each target holds: absent, old (the bytes given in old), or complete.
    std::map<std::wstring, std::string> States(const std::map<std::wstring, std::vector<BYTE>>& old = {}) const {
        std::map<std::wstring, std::string> states;
        for (const Row& row : kRows) {
            bool read = false;
            const std::vector<BYTE> bytes = ReadBytes(Target(row), &read);
            const auto previous = old.find(row.fileName);
            if (!read) {
                states[row.fileName] = Exists(Target(row)) ? "unreadable" : "absent";
            } else if (bytes == PayloadBytes(row)) {
                states[row.fileName] = "complete";
            } else if (previous != old.end() && bytes == previous->second) {
                states[row.fileName] = "old";
            } else {
                states[row.fileName] = "PARTIAL (" + std::to_string(bytes.size()) + " bytes)";
            }
        }
        return states;
    }

    static std::string Describe(const std::map<std::wstring, std::string>& states) {
        std::string text;
        for (const auto& [file, state] : states) {
            text += Narrow(file) + " " + state + "; ";
        }
        return text;
    }

    void ExpectNothingPartial(const std::map<std::wstring, std::string>& states) const {
        for (const auto& [file, state] : states) {
            EXPECT_TRUE(state == "absent" || state == "old" || state == "complete") << Narrow(file) << " " << state;
        }
    }
};

// Where in the write of the largest payload the installer is killed: once its
// temporary file holds at least fewest bytes, aiming at no more than most.
struct KillPoint {
    const char* name;
    DWORD fewest;
    DWORD most;
};

class KilledPartWayTest : public FaultTest, public testing::WithParamInterface<KillPoint> {};

TEST_P(KilledPartWayTest, LeavesNoPartialTargetAndRegistersOnlyWhatWasWritten) {
    const Row& largest = RowNamed(L"CorvoGovX");
    const std::map<std::wstring, std::vector<BYTE>> old = {{largest.fileName, Bytes("old CorvoGovX control")}};
    ASSERT_TRUE(WriteBytes(Target(largest), old.at(largest.fileName)));
    const FakeRegsvr32 regsvr32(folder_, log_);
    const std::wstring installer = BuildPath(installerVariable_);

    // The write is fast: a run that ends before the point, or is seen only
    // past it, is tried again; after that the last kill is taken as it landed.
    DWORD seen = 0;
    bool killed = false;
    int attempts = 0;
    for (bool landed = false; attempts < 20 && !landed; ++attempts) {
        const Child run = Start(Quoted(installer));
        ASSERT_TRUE(run.process);
        const std::wstring temp = Target(largest) + L".orbel-" + std::to_wstring(run.id) + L"-0.tmp";
        bool terminated = false;
        while (::WaitForSingleObject(run.process.get(), 0) == WAIT_TIMEOUT) {
            WIN32_FILE_ATTRIBUTE_DATA data;
            if (::GetFileAttributesExW(temp.c_str(), GetFileExInfoStandard, &data) &&
                data.nFileSizeLow >= GetParam().fewest) {
                seen = data.nFileSizeLow;
                terminated = ::TerminateProcess(run.process.get(), 99) != 0;
                break;
            }
        }
        ::WaitForSingleObject(run.process.get(), INFINITE);
        DWORD exitCode = 0;
        ::GetExitCodeProcess(run.process.get(), &exitCode);
        if (terminated && exitCode == 99) {
            killed = true;
            landed = seen <= GetParam().most;
        }
    }
    ASSERT_TRUE(killed) << "the installer never reached " << GetParam().fewest << " bytes of "
                        << Narrow(largest.fileName);
    const auto states = States(old);
    std::printf("killed %s with %lu bytes written (attempt %d): %s\n", GetParam().name, seen, attempts,
                Describe(states).c_str());
    ExpectNothingPartial(states);
    // No registration ran for a row whose file was not written whole.
    for (const std::string& command : UpperAll(regsvr32.Commands())) {
        bool known = false;
        for (const Row& row : kRows) {
            if (command == ExpectedCommand(row)) {
                known = true;
                EXPECT_EQ(states.at(row.fileName), "complete") << command;
            }
        }
        EXPECT_TRUE(known) << command;
    }

    // The next run completes, and clears what the killed one left.
    EXPECT_EQ(RunInstaller(), 0u);
    ExpectAllInstalled();
}

INSTANTIATE_TEST_SUITE_P(Points, KilledPartWayTest,
                         testing::Values(KillPoint{"early", 1, 4u << 20}, KillPoint{"middle", 6u << 20, 12u << 20},
                                         KillPoint{"late", 17342464, 17342464}),
                         [](const testing::TestParamInfo<KillPoint>& info) { return std::string(info.param.name); });

TEST_F(FaultTest, TwoInstallersAtOnceRunOneAfterTheOtherAndBothSucceed) {
    const FakeRegsvr32 regsvr32(folder_, log_);
    // Registrations that take a while: runs not kept apart would surely overlap.
    const ScopedEnv slow(L"ORBEL_FAKE_REGSVR32_DELAY_MS", L"1500");
    const std::wstring installer = BuildPath(installerVariable_);
    const Child first = Start(Quoted(installer));
    const Child second = Start(Quoted(installer));
    ASSERT_TRUE(first.process && second.process);
    const HANDLE both[] = {first.process.get(), second.process.get()};
    ASSERT_EQ(::WaitForMultipleObjects(2, both, TRUE, 300000), WAIT_OBJECT_0) << "an installer hangs";
    for (const HANDLE process : both) {
        DWORD code = 1;
        ::GetExitCodeProcess(process, &code);
        EXPECT_EQ(code, 0u);
    }
    // One whole pass after the other: the second run's six registrations follow the first's.
    std::vector<std::string> expected = ExpectedCommands();
    const std::vector<std::string> once = expected;
    expected.insert(expected.end(), once.begin(), once.end());
    EXPECT_EQ(UpperAll(regsvr32.Commands()), expected);
    ExpectAllInstalled();
    for (const Row& row : kRows) {
        EXPECT_EQ(QueuedMovesOnto(Target(row)), 0u) << Narrow(row.fileName);
    }
}

// Every value under a registry key of the 32-bit view, as path\name=type:data lines.
void DumpKey(HKEY root, const std::wstring& path, std::vector<std::wstring>& lines) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) {
        lines.push_back(path + L" absent");
        return;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        BYTE data[2048];
        DWORD dataLength = sizeof data;
        DWORD type = 0;
        if (::RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &dataLength) != ERROR_SUCCESS) {
            break;
        }
        lines.push_back(path + L"\\" + name + L"=" + std::to_wstring(type) + L":" +
                        std::wstring(reinterpret_cast<wchar_t*>(data), dataLength / sizeof(wchar_t)));
    }
    std::vector<std::wstring> children;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (::RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        children.push_back(name);
    }
    ::RegCloseKey(key);
    for (const std::wstring& child : children) {
        DumpKey(root, path + L"\\" + child, lines);
    }
}

// What the runs may change: the system folder's entries with their sizes, and the servers' registry entries.
std::vector<std::wstring> Snapshot(const std::wstring& folder) {
    std::vector<std::wstring> lines;
    WIN32_FIND_DATAW found;
    const UniqueFind find{OwnedOrNull(::FindFirstFileW((folder + L"*").c_str(), &found))};
    if (find) {
        do {
            lines.push_back(std::wstring(found.cFileName) + L" " + std::to_wstring(found.nFileSizeLow));
        } while (::FindNextFileW(find.get(), &found));
    }
    std::sort(lines.begin(), lines.end());
    for (const demo::Server& server : demo::kServers) {
        DumpKey(HKEY_LOCAL_MACHINE, std::wstring(L"Software\\Classes\\CLSID\\") + server.clsid, lines);
        DumpKey(HKEY_LOCAL_MACHINE, std::wstring(L"Software\\Classes\\") + server.progId, lines);
    }
    HKEY classes = nullptr;
    DWORD classCount = 0;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID", 0, KEY_READ | KEY_WOW64_32KEY, &classes) ==
        ERROR_SUCCESS) {
        ::RegQueryInfoKeyW(classes, nullptr, nullptr, nullptr, &classCount, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr, nullptr);
        ::RegCloseKey(classes);
    }
    lines.push_back(L"classes registered: " + std::to_wstring(classCount));
    return lines;
}

TEST_F(FaultTest, TwentyRunsInARowChangeNothingAfterTheFirst) {
    const NativeOverride msxml6(L"msxml6");
    ASSERT_EQ(RunInstaller(), 0u);
    const std::vector<std::wstring> first = Snapshot(folder_);
    for (int run = 2; run <= 20; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        ASSERT_EQ(RunInstaller(), 0u);
        const std::vector<std::wstring> now = Snapshot(folder_);
        ASSERT_EQ(now, first);
    }
    ExpectAllInstalled();
    ExpectServersRegistered();
}

}  // namespace
}  // namespace orbel::test
