// Protected secrets: a byte string sealed so that only the current user can read it back, for
// secrets that must be stored (a mail server's password). The sealed bytes may be stored
// anywhere; they reveal nothing but their length, and any change to them is detected.
//
// Windows: DPAPI for the current user (CryptProtectData without UI). Elsewhere: AES-256-GCM
// under a 32-byte key in the file "qbnotify.key" beside the registry database (registry.h),
// made on first use, readable by its owner only, and refused when others may read it.
#pragma once

#include <string>
#include <string_view>

namespace fw {

// Seals `secret` into `sealed`. False (and `sealed` empty) when it cannot be done.
bool ProtectData(std::string_view secret, std::string& sealed);

// Opens what ProtectData sealed for the same user. False (and `secret` empty) for data that
// was changed, cut short, sealed for someone else or under another key, or not sealed at all.
bool UnprotectData(std::string_view sealed, std::string& secret);

namespace testing {

// While set, ProtectData and UnprotectData fail at once (false restores them), so that
// callers' failure paths can be tested.
void SetDataProtectionFails(bool fails);

}  // namespace testing
}  // namespace fw
