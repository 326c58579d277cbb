// The fixture of the tests that run a whole installer.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "components.h"
#include "support/rows.h"
#include "support/support.h"

namespace orbel::test {

constexpr DWORD kInstallFailure = 1603;
constexpr DWORD kRestartRequired = 3010;
constexpr DWORD kInstallAlreadyRunning = 1618;

// A test that runs an installer in this Windows and looks at its system folder.
class InstallerFixture : public testing::Test {
protected:
    void TearDown() override {
        ExpectNoStrayTemps(folder_);
        for (const Row& row : kRows) {
            const DWORD attributes = ::GetFileAttributesW(Target(row).c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                EXPECT_TRUE(CanOpenExclusively(Target(row))) << Narrow(Target(row)) << " is still held open";
            }
        }
    }

    DWORD RunInstaller(const std::wstring& installer) const { return test::Run(Quoted(installer)); }
    DWORD RunInstaller() const { return RunInstaller(BuildPath(installerVariable_)); }

    std::wstring Target(const Row& row) const { return folder_ + row.fileName; }
    std::wstring Payload(const Row& row) const {
        return BuildPath(payloadsVariable_) + (OnWow64() ? L"\\64\\" : L"\\32\\") + row.fileName;
    }
    std::vector<BYTE> PayloadBytes(const Row& row) const {
        bool read = false;
        std::vector<BYTE> bytes = ReadBytes(Payload(row), &read);
        EXPECT_TRUE(read) << "cannot read payload " << Narrow(Payload(row));
        return bytes;
    }
    void ExpectInstalled(const Row& row) const {
        bool read = false;
        const std::vector<BYTE> bytes = ReadBytes(Target(row), &read);
        EXPECT_TRUE(read) << Narrow(Target(row)) << " missing";
        EXPECT_TRUE(bytes == PayloadBytes(row)) << Narrow(Target(row)) << " differs from its payload";
    }
    // Each demo server's class is registered for 32-bit clients at its target, and not for 64-bit ones.
    void ExpectServersRegistered() const {
        for (const demo::Server& server : demo::kServers) {
            SCOPED_TRACE(Narrow(server.baseName));
            const std::wstring key = std::wstring(L"Software\\Classes\\CLSID\\") + server.clsid + L"\\InprocServer32";
            bool found = false;
            const std::wstring path = ReadMachineString(key, KEY_WOW64_32KEY, &found);
            EXPECT_TRUE(found) << "not registered for 32-bit clients";
            EXPECT_EQ(Upper(path), Upper(folder_ + server.baseName + server.extension));
            if (OnWow64()) {
                ReadMachineString(key, KEY_WOW64_64KEY, &found);
                EXPECT_FALSE(found) << "registered in the 64-bit view";
            }
        }
    }
    // Every row but the one given holds its payload.
    void ExpectAllInstalled(const Row* except = nullptr) const {
        for (const Row& row : kRows) {
            if (&row != except) {
                SCOPED_TRACE(Narrow(row.fileName));
                ExpectInstalled(row);
            }
        }
    }
    std::string ExpectedCommand(const Row& row) const {
        return Narrow(Upper(L"\"" + folder_ + L"regsvr32.exe\" /s \"" + folder_ + row.fileName + L"\""));
    }
    // The expected commands of the server rows, upper case, leaving out those named.
    std::vector<std::string> ExpectedCommands(std::initializer_list<const wchar_t*> without = {}) const {
        std::vector<std::string> commands;
        for (size_t i = 0; i < kServerRows; ++i) {
            bool left = false;
            for (const wchar_t* name : without) {
                left = left || std::wstring(name) == kRows[i].baseName;
            }
            if (!left) {
                commands.push_back(ExpectedCommand(kRows[i]));
            }
        }
        return commands;
    }
    static std::vector<std::string> UpperAll(const std::vector<std::string>& lines) {
        std::vector<std::string> upper;
        for (const std::string& line : lines) {
            upper.push_back(Narrow(Upper(Widen(line))));
        }
        return upper;
    }
    // The names a target's shared-file counts go by: its path and, on 64-bit
    // Windows, the System32 path that WOW64 redirects to it.
    std::vector<std::wstring> CountNames(const Row& row) const {
        std::vector<std::wstring> names{Target(row)};
        if (OnWow64()) {
            wchar_t windows[MAX_PATH] = {};
            ::GetWindowsDirectoryW(windows, MAX_PATH);
            names.push_back(std::wstring(windows) + L"\\System32\\" + row.fileName);
        }
        return names;
    }
    static constexpr wchar_t kSharedDlls[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
    // A count in the SharedDLLs key of the view given: -1 when absent, -2 when not a 4-byte REG_DWORD.
    static long long SharedCount(const std::wstring& name, REGSAM view = KEY_WOW64_32KEY) {
        bool present = false;
        DWORD type = 0;
        const std::vector<BYTE> value = RawMachineValue(kSharedDlls, name.c_str(), &present, &type, view);
        if (!present) {
            return -1;
        }
        DWORD count = 0;
        if (type != REG_DWORD || value.size() != sizeof count) {
            return -2;
        }
        std::memcpy(&count, value.data(), sizeof count);
        return count;
    }
    static bool SetSharedCount(const std::wstring& name, DWORD count) {
        const BYTE* bytes = reinterpret_cast<const BYTE*>(&count);
        return SetRawMachineValue(kSharedDlls, name.c_str(), std::vector<BYTE>(bytes, bytes + sizeof count), REG_DWORD,
                                  KEY_WOW64_32KEY);
    }
    static bool DeleteSharedCount(const std::wstring& name) {
        return ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSharedDlls, name.c_str()) == ERROR_SUCCESS;
    }
    const Row& RowNamed(const wchar_t* baseName) const {
        for (const Row& row : kRows) {
            if (std::wstring(row.baseName) == baseName) {
                return row;
            }
        }
        ADD_FAILURE() << "no row " << Narrow(baseName);
        return kRows[0];
    }

    // Where the build says the installer under test and its payload folder are.
    const char* installerVariable_ = "ORBEL_TEST_INSTALLER";
    const char* payloadsVariable_ = "ORBEL_TEST_PAYLOADS";
    std::wstring folder_ = SystemFolder32();
    TempDir temp_;
    std::wstring log_ = temp_.path() + L"commands.txt";
};

}  // namespace orbel::test
