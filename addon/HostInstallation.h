// Installation into the host: the host's installation directory and version from the
// uninstall entry that its installer leaves, and the start of the host's executable with the
// switch that adds the add-on to the host or removes it. QBAddOnInstall and QBAddOnUninstall
// forward here.
#pragma once

#include <string>

// The version of the host from which on the add-on can be installed.
inline constexpr double kMinimumHostVersion = 11.3;

// The version text of a display name: what follows its last blank (all of it without one).
std::string HostVersionText(const std::string& strDisplayName);
// Whether a version text names a version the add-on supports: its leading decimal number
// (read as atof does, with '.' as the decimal point whatever the locale; 0 when there is none)
// is at least kMinimumHostVersion. An empty text never does.
bool IsSupportedHostVersion(const std::string& strVersion);

// Asks for the global settings when they are incomplete, then starts the host with
// "-installaddon <pszAddOnDir>\<module name>" (null pszAddOnDir: the module's directory).
// Failures are shown to the user (7014, 7016, 7013).
void InstallIntoHost(const char* pszAddOnDir);
// Starts the host with "-uninstalladdon <module path>"; only a failed start is shown (7015).
void UninstallFromHost();
