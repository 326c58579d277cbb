// The registrations a run that ends in 3010 leaves for the next start of
// Windows. A held server's new file lands only at the restart, after the run
// registered the old one; the boot program (setup_orbel_boot.exe, carried in
// the installer) then registers all the servers again, in table order, as an
// auto-start service running as LocalSystem, before anyone logs on, and
// removes itself. Installer and boot program take turns under the install lock.
#pragma once

#include <windows.h>

#include "winsvc/text.h"

namespace orbel {

constexpr wchar_t kBootServiceName[] = L"setup_orbel_boot";
// The boot program's RT_RCDATA resource in the installer.
constexpr wchar_t kBootProgramResource[] = L"SETUP_ORBEL_BOOT";
// Starts at which a registration that keeps failing is given up.
constexpr DWORD kBootTries = 3;

// <system folder>setup_orbel_boot.exe; empty when Windows names no folder.
Text BootProgramPath();

// The installer's side, under the install lock. Arrange writes the boot
// program, makes its service (or sets one left by an earlier run to the same
// settings) and starts its count of tries anew: false if any of it failed.
bool ArrangeBootRegistration();
// After a run that registered every server itself: no work is left pending.
void RemoveBootRegistration();
// The service, its record and the program's file (BootProgramPath()),
// whatever is there of them.
void RemoveBootWork(const Text& program);

// The boot program's record of pending work: absent when none is pending, or
// the number of starts whose registrations failed so far.
// False if it could not be read.
bool ReadFailedStarts(DWORD& failed, bool& pending);
bool WriteFailedStarts(DWORD failed);

}  // namespace orbel
