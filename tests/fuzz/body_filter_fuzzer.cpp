// Fuzz target for the body's transparency filter. The input is filtered in pieces of sizes
// taken from the input, with the filter's state carried across pieces. The output must be
// DATA text that cannot end the message early and that a server, removing the doubled dots,
// reads back as the input's lines, each broken into pieces of the maximum line length.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mail/BodyFilter.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

constexpr std::size_t kMaxLine = CBodyFilter::kMaxLineLength;

struct Line {
  std::string_view text;
  bool ended = false;  // a line end follows (false only for the last line)
};

// The input's lines: CR, LF and CR LF each end a line. Text after the last line end is a
// last line without an end; there is none when that text is empty.
std::vector<Line> InputLines(std::string_view input) {
  std::vector<Line> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < input.size(); ++i) {
    if (input[i] != '\r' && input[i] != '\n') continue;
    lines.push_back({input.substr(start, i - start), true});
    if (input[i] == '\r' && i + 1 < input.size() && input[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < input.size()) lines.push_back({input.substr(start), false});
  return lines;
}

// The output's lines, split at CR LF. CR and LF appear nowhere else.
std::vector<Line> OutputLines(std::string_view output) {
  std::vector<Line> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < output.size(); ++i) {
    FUZZ_CHECK(output[i] != '\n');  // no LF without its CR
    if (output[i] != '\r') continue;
    FUZZ_CHECK(i + 1 < output.size() && output[i + 1] == '\n');  // no CR without its LF
    lines.push_back({output.substr(start, i - start), true});
    start = ++i + 1;
  }
  if (start < output.size()) lines.push_back({output.substr(start), false});
  return lines;
}

// What the server keeps of a wire line: the line without its doubled leading dot.
std::string_view Unstuff(std::string_view line) {
  FUZZ_CHECK(line != ".");  // the end-of-data marker
  if (line.empty() || line[0] != '.') return line;
  FUZZ_CHECK(line.size() >= 2 && line[1] == '.');
  return line.substr(1);
}

void CheckOutput(std::string_view input, std::string_view output) {
  const std::vector<Line> wire = OutputLines(output);
  std::size_t next = 0;
  for (const Line& line : InputLines(input)) {
    // Pieces of kMaxLine characters and a last one of at most that; an empty line stays one.
    std::size_t done = 0;
    for (;;) {
      FUZZ_CHECK(next < wire.size());
      const Line& piece = wire[next++];
      const std::string_view text = Unstuff(piece.text);
      FUZZ_CHECK(text.size() <= kMaxLine && line.text.substr(done, text.size()) == text);
      done += text.size();
      if (done == line.text.size()) {
        FUZZ_CHECK(piece.ended == line.ended);
        break;
      }
      // Only a full piece breaks a line, and the break is a line end on the wire.
      FUZZ_CHECK(text.size() == kMaxLine && piece.ended);
    }
  }
  FUZZ_CHECK(next == wire.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ChunkPlan plan(data, size);
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  CBodyFilter filter;
  std::string output;
  for (std::size_t offset = 0, length = 0; offset < input.size(); offset += length) {
    length = plan.NextLength(input.size() - offset);
    filter.Filter(input.substr(offset, length), output);
  }
  CheckOutput(input, output);
  return 0;
}
