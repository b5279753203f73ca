// Line splitting and reply reading for the SMTP conversation.
#include "mail/SmtpReply.h"

#include <cstring>

namespace smtp {

bool ExtractLine(const char*& data, int& length, std::string& line) {
  if (data == nullptr || length <= 0) return false;
  const char* lastCr = nullptr;
  const char* lf = nullptr;
  for (const char* p = data; p != data + length; ++p) {
    if (*p == '\n') {
      lf = p;
      break;
    }
    if (*p == '\r') lastCr = p;
  }
  if (lf == nullptr) return false;

  const char* lineEnd = lastCr ? lastCr : lf;
  const char* zero = static_cast<const char*>(std::memchr(data, '\0', static_cast<std::size_t>(lineEnd - data)));
  line.assign(data, zero ? zero : lineEnd);

  const char* next = (lastCr != nullptr && lastCr + 1 == lf) ? lf + 1 : lineEnd + 1;
  length -= static_cast<int>(next - data);
  data = next;
  return true;
}

namespace {

bool IsThreeDigitLine(const std::string& line) {
  if (line.size() != 3) return false;
  for (char c : line) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

ReplyRead ReadReply(const char*& data, int& length, std::string& reply, std::vector<std::string>* lines) {
  ReplyRead result;
  std::string line;
  while (ExtractLine(data, length, line)) {
    result.consumedLine = true;
    if (lines != nullptr && lines->size() < kMaxKeptReplyLines) lines->push_back(line.substr(0, kMaxKeptLineLength));
    if (IsThreeDigitLine(line) || (line.size() >= 4 && line[3] == ' ')) {
      reply = line;
      result.complete = true;
      return result;
    }
    if (line.size() < 4) return result;
    reply.clear();
  }
  return result;
}

int ReplyCode(const std::string& reply) {
  constexpr int kLimit = 100000;  // far above any reply code; keeps the sum from overflowing
  int code = 0;
  for (char c : reply) {
    if (c < '0' || c > '9') break;
    if (code < kLimit) code = code * 10 + (c - '0');
  }
  return code;
}

}  // namespace smtp
