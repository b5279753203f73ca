// The terminal on which the posix backend asks its dialogs and shows its message boxes: the
// process's controlling terminal (/dev/tty), or the descriptor a test gave. Inside, texts are
// Windows-1252; on the terminal they are in the character set of the environment's locale
// (nl_langinfo(CODESET) of LC_ALL / LC_CTYPE / LANG), converted with iconv both ways.
#pragma once

#include <string>
#include <string_view>

namespace fw::posix {

class Terminal {
 public:
  Terminal() = default;
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;
  ~Terminal();

  // False when the process has no terminal.
  bool Open();

  // Writes Windows-1252 text. Line ends become "\n"; other control characters, and
  // characters that the terminal's character set lacks, are shown as '?'.
  void Write(std::string_view text);

  enum class Input {
    kLine,         // a line was read
    kEnd,          // the terminal was closed or hung up (Ctrl-D on an empty line too)
    kNotStorable,  // the line holds a character that Windows-1252 cannot hold, or a control
                   // character, or bytes that are no text in the terminal's character set
  };
  // Reads one line without its line end, as Windows-1252.
  Input ReadLine(std::string& line);
  // Writes `prompt` with the terminal's echo off and reads a line that is not shown, then ends
  // the line on the screen. Echo is off before the prompt appears, so no answer can be shown.
  Input ReadSecretLine(std::string_view prompt, std::string& line);
  // Waits up to `milliseconds` for input; true when a line (or the terminal's end) is there.
  bool WaitForInput(int milliseconds);

 private:
  int m_fd = -1;
  bool m_bOwned = false;
  std::string m_charset;
};

// The character set of the environment's locale ("UTF-8", "ISO-8859-15", "ANSI_X3.4-1968"...).
std::string EnvironmentCharset();
// Windows-1252 text for a terminal in `charset` (see Terminal::Write).
std::string ToTerminalText(std::string_view text, const std::string& charset);
// A line typed in `charset` as Windows-1252; false when it cannot be stored (see kNotStorable).
bool FromTerminalText(std::string_view bytes, const std::string& charset, std::string& text);

// Writes Windows-1252 text to standard error, converted like terminal output.
void WriteError(std::string_view text);

namespace testing {
inline constexpr int kControllingTerminal = -1;
inline constexpr int kNoTerminal = -2;
// Makes `fd` the terminal (not closed by the framework); kNoTerminal makes the process have
// none, kControllingTerminal restores /dev/tty.
void UseTerminal(int fd);
}  // namespace testing

}  // namespace fw::posix
