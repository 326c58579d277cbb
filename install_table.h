// The component table and how a row's file is named and registered: shared by
// the installer and by the registrations it leaves for the next start.
#pragma once

#include <windows.h>

#include "winsvc/text.h"

namespace orbel {

struct InstallEntry {
    const wchar_t* baseName;
    const wchar_t* extension;
    bool registerServer;
};

// Table order is install order: each server is registered before the rows after it are written.
constexpr InstallEntry kComponentTable[] = {
    {L"CorvoX", L".dll", true},
    {L"CorvoDataSetX", L".dll", true},
    {L"msxml6", L".dll", true},
    {L"CorvoGovX", L".ocx", true},
    {L"midas", L".dll", true},
    {L"stdvcl40", L".dll", true},
    {L"ssleay32", L".dll", false},
    {L"libeay32", L".dll", false},
    {L"msxml6r", L".dll", false},
    {L"kwtCorvoLibUNICODE", L".dll", false},
    {L"kwtCorvoLib", L".dll", false},
};

constexpr wchar_t kPlaceholder[] = L"{S}";

// A registration takes seconds. One that runs this long waits for something
// that never comes (a message box in a session nobody sees, a network): it is
// ended and its row fails, so that the run and the lock are not held for ever.
#ifndef ORBEL_REGISTRATION_LIMIT_MS
#define ORBEL_REGISTRATION_LIMIT_MS (5 * 60 * 1000)
#endif
constexpr DWORD kRegistrationLimitMs = ORBEL_REGISTRATION_LIMIT_MS;

// One install at a time on a machine, as Windows Installer keeps it: a run
// that finds another under way waits for it, then does its own whole pass.
// A run takes seconds; one that waited this long writes nothing and says so.
#ifndef ORBEL_INSTALL_LOCK_WAIT_MS
#define ORBEL_INSTALL_LOCK_WAIT_MS (5 * 60 * 1000)
#endif
constexpr DWORD kInstallLockWaitMs = ORBEL_INSTALL_LOCK_WAIT_MS;

Text ReplaceAll(Text text, const Text& from, const Text& to);

// <system folder><baseName><extension>; empty when Windows names no folder.
Text FormTargetPath(const Text& baseName, const Text& extension);

// The registration tool of the same system folder, its path quoted so that a
// blank in it cannot make CreateProcessW run a shorter path.
Text FormCommandTemplate();

// Whether a file (not a directory) exists at path, by the rules registration uses.
bool TargetExists(const Text& path);

// The install lock's file: in the system folder, which no standard user can
// write. Empty when Windows names no folder.
Text InstallLockPath();

}  // namespace orbel
