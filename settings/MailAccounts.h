// Mail-account discovery: proposals for the configuration dialog's empty fields (SMTP server,
// its port, an e-mail address) from the accounts of the user's mail clients.
#pragma once

#include <string>

// The account stores, searched in this order.
enum MailAccountSource : int {
  kMailSourceOutlook = 0,                 // HKCU "Software\Microsoft\Office\Outlook\OMI Account Manager\Accounts"
  kMailSourceInternetAccountManager = 1,  // HKCU "Software\Microsoft\Internet Account Manager\Accounts"
  kMailSourceOutlookProfiles = 2,         // HKCU "Software\Microsoft\Office\<version>\Outlook\Profiles"
  kMailSourceThunderbird = 3,             // the default profile's prefs.js
};
inline constexpr int kMailSourceCount = 4;

// Searches one store. Fills strServer when it is empty and an account has a server (and nPort
// with it, when that account has a port: a port is never taken without its server), and
// strAddress when it is empty. Stops at the first account after which both are set. Every
// failure is silent: nothing is taken from that place.
// A source index other than 0, 2 and 3 means the Internet Account Manager, as 1 does.
void ReadMailAccounts(int nSource, std::string& strServer, int& nPort, std::string& strAddress);

// Searches every store in the order of MailAccountSource, under the same rule.
void ReadAllMailAccounts(std::string& strServer, int& nPort, std::string& strAddress);
