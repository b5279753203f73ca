// The checks of the configuration dialogs: the first entry of a settings record that cannot
// be used, as the id of the message that tells the user why. OK of both dialogs and the test
// message run them, so that each refusal reads the same wherever it happens.
#pragma once

#include <string>

class CNotifyConfig;

// Server, recipient and sender given, then both addresses well formed; 0 when all pass.
unsigned CheckMailEntries(const CNotifyConfig& config);
// A user only with TLS, a user only with a password, a pinned certificate only as a SHA-256
// fingerprint (in any of the forms NormalizeFingerprint takes); 0 when all pass.
unsigned CheckLoginEntries(const CNotifyConfig& config);

// The fingerprint in its canonical form when it is one; other text unchanged.
std::string CanonicalPin(const std::string& text);
