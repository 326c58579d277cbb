// The installer: its component table and the installation of one entry.
#pragma once

#include <windows.h>

#include "install_table.h"
#include "place_file.h"
#include "winsvc/text.h"

namespace orbel {

// ERROR_INSTALL_FAILURE: what deployment systems read as "installation failed".
constexpr int kInstallFailure = 1603;
// ERROR_INSTALL_ALREADY_RUNNING: another run held the install lock for the whole wait; nothing was written.
constexpr int kInstallAlreadyRunning = 1618;
// ERROR_SUCCESS_REBOOT_REQUIRED: installed, with a file that Windows replaces at its next start.
constexpr int kRestartRequired = 3010;

// Installs every row of the component table, in table order, whatever happened
// to the rows before. Answers the exit code: 0, kRestartRequired when no row
// failed and one is pending, kInstallFailure when any row failed.
int InstallComponents() noexcept;

// Writes the payload of one entry into the system folder and, for COM servers,
// registers it silently. A server's row fails unless the registration tool ran
// on the file that is there and answered 0.
RowState InstallComponent(const Text& extension, const Text& baseName, bool registerServer);

}  // namespace orbel
