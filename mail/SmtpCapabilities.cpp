// Reading the capabilities out of an EHLO reply.
#include "mail/SmtpCapabilities.h"

#include <algorithm>
#include <limits>

namespace smtp {
namespace {

// The blank-separated words of a text.
std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t start = 0;
  while ((start = text.find_first_not_of(" \t", start)) != std::string_view::npos) {
    const std::size_t end = std::min(text.find_first_of(" \t", start), text.size());
    words.push_back(text.substr(start, end - start));
    start = end;
  }
  return words;
}

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

// A mechanism name of RFC 4954's form: letters, digits, "-" and "_".
bool IsMechanismName(std::string_view name) {
  return !name.empty() && name.size() <= Capabilities::kMaxMechanismLength &&
         std::all_of(name.begin(), name.end(),
                     [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'; });
}

void AddMechanism(Capabilities& capabilities, std::string_view word) {
  const std::string name = Upper(word);
  if (!IsMechanismName(name) || capabilities.OffersAuth(name)) return;
  if (capabilities.authMechanisms.size() < Capabilities::kMaxMechanisms) capabilities.authMechanisms.push_back(name);
}

// A decimal number of bytes; a value too large to hold counts as the largest.
std::uint64_t SizeValue(std::string_view text) {
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
      return std::numeric_limits<std::uint64_t>::max();
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

bool Capabilities::OffersAuth(std::string_view mechanism) const {
  return std::find(authMechanisms.begin(), authMechanisms.end(), mechanism) != authMechanisms.end();
}

Capabilities ParseEhloReply(const std::vector<std::string>& lines) {
  Capabilities capabilities;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].size() < 5) continue;
    const std::vector<std::string_view> words = Words(std::string_view(lines[i]).substr(4));
    if (words.empty()) continue;
    const std::string keyword = Upper(words.front());
    if (keyword == "STARTTLS") {
      capabilities.bStartTls = true;
    } else if (keyword == "AUTH" || keyword.rfind("AUTH=", 0) == 0) {
      if (keyword.size() > 5) AddMechanism(capabilities, std::string_view(keyword).substr(5));
      for (std::size_t w = 1; w < words.size(); ++w) AddMechanism(capabilities, words[w]);
    } else if (keyword == "SIZE") {
      capabilities.bSize = true;
      capabilities.sizeLimit = words.size() > 1 ? SizeValue(words[1]) : 0;
    }
  }
  return capabilities;
}

}  // namespace smtp
