// What an SMTP server offers in its reply to EHLO: STARTTLS, the AUTH mechanisms (also in the
// old "AUTH=" form) and the SIZE limit. A pure parser over the reply's lines, reachable by
// fuzzers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace smtp {

struct Capabilities {
  // Bounds on what is kept of a server's list of mechanisms.
  static constexpr std::size_t kMaxMechanisms = 16;
  static constexpr std::size_t kMaxMechanismLength = 20;

  bool bStartTls = false;
  // Upper-case mechanism names in the server's order, each once.
  std::vector<std::string> authMechanisms;
  bool bSize = false;           // SIZE was announced
  std::uint64_t sizeLimit = 0;  // its limit in bytes; 0 when it names none

  bool OffersAuth(std::string_view mechanism) const;
};

// The capabilities in the lines of a complete EHLO reply ("250-STARTTLS", "250 SIZE 1000").
// The first line names the server and is no capability; lines too short to hold one are
// skipped, and so are keywords that are not known here.
Capabilities ParseEhloReply(const std::vector<std::string>& lines);

}  // namespace smtp
