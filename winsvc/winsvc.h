// The operating-system services the installer needs beyond files and
// resources. None of them keeps state: every call asks Windows anew.
#pragma once

#include <windows.h>

#include "winsvc/text.h"

namespace orbel {

// RunCommand's answer when the child cannot be started.
constexpr DWORD kRunFailed = 0xFFFFFFFF;
// The longest command line RunCommand accepts, in UTF-16 units without the NUL.
constexpr size_t kMaxCommandLine = 512;

// True when this 32-bit process runs under WOW64, that is on 64-bit Windows.
bool IsWow64();

// The folder for 32-bit system libraries, with one trailing backslash:
// <Windows>\System32\ on 32-bit Windows, <Windows>\SysWOW64\ on 64-bit Windows.
// Empty if Windows does not name its directory or there is no memory for it.
Text GetSystemFolder();

// Starts commandLine as a child process and, if wait is set, waits for it and
// answers its exit code. kRunFailed if it cannot be started or is too long.
DWORD RunCommand(const Text& commandLine, WORD showWindow, bool wait);

}  // namespace orbel
