// Fuzz target for the EHLO capability parser. The input is a server's reply, received in
// pieces as the socket receives it and read with the reply reader keeping the reply's lines;
// each complete reply is parsed. Checked: the bounds on what is kept, the form and uniqueness
// of the mechanisms, that the parse ignores letter case, and that the mechanism chosen is one
// the server offered.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mail/SmtpAuth.h"
#include "mail/SmtpCapabilities.h"
#include "mail/SmtpReply.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool operator==(const smtp::Capabilities& a, const smtp::Capabilities& b) {
  return a.bStartTls == b.bStartTls && a.authMechanisms == b.authMechanisms && a.bSize == b.bSize &&
         a.sizeLimit == b.sizeLimit;
}

void CheckReply(const std::vector<std::string>& lines) {
  FUZZ_CHECK(lines.size() <= smtp::kMaxKeptReplyLines);
  for (const std::string& line : lines) FUZZ_CHECK(line.size() <= smtp::kMaxKeptLineLength);

  const smtp::Capabilities capabilities = smtp::ParseEhloReply(lines);
  FUZZ_CHECK(capabilities.authMechanisms.size() <= smtp::Capabilities::kMaxMechanisms);
  for (std::size_t i = 0; i < capabilities.authMechanisms.size(); ++i) {
    const std::string& name = capabilities.authMechanisms[i];
    FUZZ_CHECK(!name.empty() && name.size() <= smtp::Capabilities::kMaxMechanismLength);
    FUZZ_CHECK(name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") == std::string::npos);
    for (std::size_t j = 0; j < i; ++j) FUZZ_CHECK(capabilities.authMechanisms[j] != name);
  }
  FUZZ_CHECK(capabilities.bSize || capabilities.sizeLimit == 0);

  std::vector<std::string> upper;
  for (const std::string& line : lines) upper.push_back(Upper(line));
  FUZZ_CHECK(smtp::ParseEhloReply(upper) == capabilities);

  switch (smtp::ChooseAuthMechanism(capabilities)) {
    case smtp::AuthMechanism::Plain:
      FUZZ_CHECK(capabilities.OffersAuth("PLAIN"));
      break;
    case smtp::AuthMechanism::Login:
      FUZZ_CHECK(capabilities.OffersAuth("LOGIN") && !capabilities.OffersAuth("PLAIN"));
      break;
    case smtp::AuthMechanism::None:
      FUZZ_CHECK(!capabilities.OffersAuth("PLAIN") && !capabilities.OffersAuth("LOGIN"));
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ChunkPlan plan(data, size);
  const std::string_view payload(reinterpret_cast<const char*>(data), size);
  std::string buffer, reply;
  std::vector<std::string> lines;
  for (std::size_t offset = 0; offset < payload.size();) {
    const std::size_t length = plan.NextLength(payload.size() - offset);
    buffer.append(payload.substr(offset, length));
    offset += length;
    const char* next = buffer.data();
    int left = static_cast<int>(buffer.size());
    for (;;) {
      const smtp::ReplyRead read = smtp::ReadReply(next, left, reply, &lines);
      if (read.complete) {
        CheckReply(lines);
        lines.clear();
      }
      if (!read.consumedLine) break;
    }
    buffer.erase(0, buffer.size() - static_cast<std::size_t>(left));
  }
  CheckReply(lines);  // whatever came of an unfinished reply parses as well
  return 0;
}
