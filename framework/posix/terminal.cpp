// The terminal of the posix backend: opening it, and converting its text from and to
// Windows-1252 with iconv.
#include "framework/posix/terminal.h"

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "framework/posix/fd_io.h"

namespace fw::posix {
namespace {

constexpr const char* kWindows1252 = "WINDOWS-1252";
constexpr std::size_t kMaxLine = 65536;

std::atomic<int> g_testTerminal{testing::kControllingTerminal};

bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

// Runs `in` through iconv `cd`. On a character that cannot be converted: with `replace`, '?'
// stands for it (one input byte is skipped); without, the conversion fails.
bool Convert(iconv_t cd, std::string_view in, std::string& out, bool replace) {
  out.clear();
  char* input = const_cast<char*>(in.data());
  std::size_t inputLeft = in.size();
  char buffer[256];
  for (;;) {
    char* output = buffer;
    std::size_t outputLeft = sizeof buffer;
    const std::size_t done = inputLeft != 0 ? iconv(cd, &input, &inputLeft, &output, &outputLeft)
                                            : iconv(cd, nullptr, nullptr, &output, &outputLeft);
    out.append(buffer, static_cast<std::size_t>(output - buffer));
    if (done != static_cast<std::size_t>(-1)) {
      if (inputLeft == 0) return true;
      continue;
    }
    if (errno == E2BIG) continue;
    if (!replace || inputLeft == 0) return false;
    out += '?';
    ++input;
    --inputLeft;
  }
}

class Iconv {
 public:
  Iconv(const std::string& to, const std::string& from) : m_cd(iconv_open(to.c_str(), from.c_str())) {}
  ~Iconv() {
    if (IsOpen()) iconv_close(m_cd);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool IsOpen() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
  iconv_t Get() const { return m_cd; }

 private:
  iconv_t m_cd;
};

bool NamesUtf8(const char* name) {
  if (name == nullptr) return false;
  const std::string text(name);
  return text.find("UTF-8") != std::string::npos || text.find("utf8") != std::string::npos ||
         text.find("UTF8") != std::string::npos || text.find("utf-8") != std::string::npos;
}

}  // namespace

std::string EnvironmentCharset() {
  if (locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr))) {
    std::string charset = nl_langinfo_l(CODESET, locale);
    freelocale(locale);
    return charset;
  }
  // A locale that is not installed: its name still tells a UTF-8 terminal.
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return NamesUtf8(value) ? "UTF-8" : "ANSI_X3.4-1968";
  }
  return "ANSI_X3.4-1968";
}

std::string ToTerminalText(std::string_view text, const std::string& charset) {
  std::string clean;
  clean.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') continue;
      clean += '\n';
    } else {
      clean += IsControl(c) && c != '\n' && c != '\t' ? '?' : static_cast<char>(c);
    }
  }
  Iconv cd(charset + "//TRANSLIT", kWindows1252);
  std::string out;
  if (cd.IsOpen() && Convert(cd.Get(), clean, out, true)) return out;
  // No conversion to that character set: plain ASCII is shown as it is.
  for (char& c : clean) {
    if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  }
  return clean;
}

bool FromTerminalText(std::string_view bytes, const std::string& charset, std::string& text) {
  text.clear();
  Iconv cd(kWindows1252, charset);
  if (!cd.IsOpen() || !Convert(cd.Get(), bytes, text, false)) return false;
  for (char c : text) {
    if (IsControl(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

void WriteError(std::string_view text) {
  const std::string bytes = ToTerminalText(text, EnvironmentCharset());
  WriteAll(STDERR_FILENO, bytes.data(), bytes.size());
}

Terminal::~Terminal() {
  if (m_bOwned && m_fd >= 0) close(m_fd);
}

bool Terminal::Open() {
  if (m_fd >= 0) return true;
  const int testTerminal = g_testTerminal.load();
  if (testTerminal == testing::kNoTerminal) return false;
  if (testTerminal >= 0) {
    m_fd = testTerminal;
  } else {
    m_fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_fd < 0) return false;
    m_bOwned = true;
  }
  m_charset = EnvironmentCharset();
  return true;
}

void Terminal::Write(std::string_view text) {
  if (m_fd < 0) return;
  const std::string bytes = ToTerminalText(text, m_charset);
  WriteAll(m_fd, bytes.data(), bytes.size());
}

Terminal::Input Terminal::ReadLine(std::string& line) {
  line.clear();
  std::string bytes;
  for (;;) {
    char c = 0;
    const ssize_t n = m_fd >= 0 ? read(m_fd, &c, 1) : 0;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (bytes.empty()) return Input::kEnd;
      break;
    }
    if (c == '\n') break;
    if (bytes.size() < kMaxLine) bytes += c;
  }
  if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
  return FromTerminalText(bytes, m_charset, line) ? Input::kLine : Input::kNotStorable;
}

Terminal::Input Terminal::ReadSecretLine(std::string_view prompt, std::string& line) {
  termios saved{};
  const bool quiet = m_fd >= 0 && tcgetattr(m_fd, &saved) == 0;
  if (quiet) {
    termios hidden = saved;
    hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
    tcsetattr(m_fd, TCSANOW, &hidden);
  }
  Write(prompt);
  const Input input = ReadLine(line);
  if (quiet) tcsetattr(m_fd, TCSANOW, &saved);
  Write("\n");  // the line end that the hidden answer did not show
  return input;
}

bool Terminal::WaitForInput(int milliseconds) {
  if (m_fd < 0) return true;
  pollfd ready{m_fd, POLLIN, 0};
  for (;;) {
    const int n = poll(&ready, 1, milliseconds);
    if (n < 0 && errno == EINTR) continue;
    return n != 0;  // input, the terminal's end, or an error that the next read reports
  }
}

namespace testing {

void UseTerminal(int fd) {
  g_testTerminal.store(fd);
}

}  // namespace testing
}  // namespace fw::posix
