// Fuzz target for the login exchange. The input gives the mechanism, a user name and a
// password of any bytes (line breaks and zero bytes too) and then the reply codes the server
// answers with. Checked: every line sent is one line, ends with CR LF and carries the
// credentials only Base64-encoded and exactly as the mechanism puts them; the exchange ends
// Accepted only on 235 and never answers more prompts than the mechanism has; and Redact
// leaves no trace of the password in any text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mail/SmtpAuth.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

std::string DecodeBase64(std::string_view text) {
  static const std::string kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    const std::size_t digit = kDigits.find(c);
    FUZZ_CHECK(digit != std::string::npos);
    bits = bits << 6 | static_cast<std::uint32_t>(digit);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

// Takes a piece whose length is the next byte of the input.
std::string_view Piece(std::string_view& input) {
  if (input.empty()) return {};
  const std::size_t length = std::min<std::size_t>(static_cast<unsigned char>(input[0]), input.size() - 1);
  const std::string_view piece = input.substr(1, length);
  input.remove_prefix(1 + length);
  return piece;
}

void CheckLine(const std::string& line) {
  FUZZ_CHECK(line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0);
  FUZZ_CHECK(line.find_first_of("\r\n") == line.size() - 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  if (input.empty()) return 0;
  const auto mechanism = (input[0] & 1) != 0 ? smtp::AuthMechanism::Login : smtp::AuthMechanism::Plain;
  input.remove_prefix(1);
  const std::string user(Piece(input)), password(Piece(input));

  smtp::CAuthExchange exchange(mechanism, user, password);
  const std::string& command = exchange.Begin();
  CheckLine(command);
  FUZZ_CHECK(mechanism == smtp::AuthMechanism::Login
                 ? command == "AUTH LOGIN\r\n"
                 : command.rfind("AUTH PLAIN ", 0) == 0 && DecodeBase64(command.substr(11, command.size() - 13)) ==
                                                               std::string(1, '\0') + user + '\0' + password);

  int answered = 0;
  bool cancelled = false;
  std::string sent = command;
  // The Base64 text that carried the password.
  std::string carrier = mechanism == smtp::AuthMechanism::Plain ? command.substr(11, command.size() - 13) : "";
  while (input.size() >= 2) {
    const int code = (static_cast<unsigned char>(input[0]) << 8 | static_cast<unsigned char>(input[1])) % 1000;
    input.remove_prefix(2);
    std::string line;
    const smtp::CAuthExchange::Outcome outcome = exchange.OnReply(code, line);
    if (outcome != smtp::CAuthExchange::Outcome::Continue) {
      FUZZ_CHECK(line.empty() && (outcome == smtp::CAuthExchange::Outcome::Accepted) == (code == 235 && !cancelled));
      break;
    }
    FUZZ_CHECK(code == 334 && !cancelled);
    CheckLine(line);
    sent += line;
    ++answered;
    if (line == "*\r\n") {
      cancelled = true;
      FUZZ_CHECK(answered == (mechanism == smtp::AuthMechanism::Login ? 3 : 1));
    } else {
      FUZZ_CHECK(mechanism == smtp::AuthMechanism::Login && answered <= 2);
      FUZZ_CHECK(DecodeBase64(line.substr(0, line.size() - 2)) == (answered == 1 ? user : password));
      if (answered == 2) carrier = line.substr(0, line.size() - 2);
    }
  }

  FUZZ_CHECK(carrier.empty() || exchange.Redact(sent).find(carrier) == std::string::npos);
  if (!password.empty() && password.find('*') == std::string::npos) {
    FUZZ_CHECK(exchange.Redact(sent + password + user + password).find(password) == std::string::npos);
    FUZZ_CHECK(exchange.Redact(std::string(input)).find(password) == std::string::npos);
  }
  return 0;
}
