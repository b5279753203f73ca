// Base64 (RFC 4648, with padding) of a byte string: for encoded words in headers and for the
// SMTP login.
#pragma once

#include <string>
#include <string_view>

namespace mailcode {

std::string Base64(std::string_view bytes);

}  // namespace mailcode
