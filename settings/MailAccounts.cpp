// Mail-account discovery over the stores of MailAccounts.h.
#include "settings/MailAccounts.h"

void ReadMailAccounts(int /*nSource*/, std::string& /*strServer*/, int& /*nPort*/, std::string& /*strAddress*/) {
  // Filled in by the account-store readers.
}
