// Windows' reference counts of shared files, so that another product's
// uninstaller does not delete a file of the suite that it also installed.
//
// Every installer of a shared file adds 1 to the file's count, a REG_DWORD
// under HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\SharedDLLs named by
// the file's full path, and every uninstaller takes 1 off and deletes the file
// at 0. This installer takes part once per machine, as Windows Installer does
// on a reinstall: what it has counted it records in a key of its own, and
// later runs add nothing more.
#pragma once

#include "winsvc/text.h"

namespace orbel {

// The SharedDLLs key and the installer's record of what it counted, both in
// the 32-bit registry view, where the counts of 32-bit files live.
constexpr wchar_t kSharedDllsKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
constexpr wchar_t kCountedKey[] = L"SOFTWARE\\Orbel\\setup_orbel\\SharedDLLs";

// Takes this installation's part in the counts of the file at targetPath,
// unless it already has one. existedBefore: a file was there before this run
// wrote it, which, uncounted, another installer left (it then starts at 2).
// A count another program wrote in a form that is not a count is left as it
// is. False if any of the file's counts could not be taken; the file stays.
bool CountSharedFile(const Text& targetPath, bool existedBefore);

}  // namespace orbel
