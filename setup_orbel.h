// The installer: its component table and the installation of one entry.
#pragma once

#include <windows.h>

#include "winsvc/text.h"

namespace orbel {

// ERROR_INSTALL_FAILURE: what deployment systems read as "installation failed".
constexpr int kInstallFailure = 1603;
// The payload is copied in pieces of at most this many bytes.
constexpr DWORD kCopyChunk = 1 << 20;

// Installs every row of the component table, in table order, whatever happened
// to the rows before. True when every row succeeded.
bool InstallComponents() noexcept;

// Writes the payload of one entry into the system folder and, for COM servers,
// registers it silently. True when the file holds its payload afterwards and,
// if registerServer, the registration tool ran on it and answered 0.
bool InstallComponent(const Text& extension, const Text& baseName, bool registerServer);

// Whether a file (not a directory) exists at path, by the rules registration uses.
bool TargetExists(const Text& path);

}  // namespace orbel
