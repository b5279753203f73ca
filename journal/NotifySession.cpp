// CNotifySession: the Information and Log files of one FTP session, their line formats, the
// "Notify When" rule, and the hand-over of both files to a mail job at the session's end.
#include "journal/NotifySession.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "addon/NotifyAddOnApp.h"
#include "framework/clock.h"
#include "framework/filesystem.h"
#include "framework/strings.h"
#include "resource.h"

namespace {

constexpr unsigned kJournalOpenFlags = fw::CStdioFile::modeCreate | fw::CStdioFile::modeCreateNew |
                                       fw::CStdioFile::modeWrite | fw::CStdioFile::shareDenyWrite |
                                       fw::CStdioFile::typeText;
// Log lines are handed to the file in batches of about this many bytes: protocol lines come
// in bursts, and each write to the file has a fixed cost.
constexpr std::size_t kLogFlushSize = 4096;

constexpr int kNotifyOnError = 0;
constexpr int kNotifyAlways = 1;

const char* OrEmpty(const char* text) {
  return text ? text : "";
}

// For "PASS <secret>" and "ACCT <secret>" (any case, leading blanks allowed; a line break counts
// as a blank): the length of the part up to and including the verb. Zero for every other line.
std::size_t SecretVerbEnd(std::string_view line) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const std::size_t verb = line.find_first_not_of(kBlanks);
  if (verb == std::string_view::npos || line.size() - verb < 5) return 0;
  const std::string_view word = line.substr(verb, 4);
  if (fw::CompareNoCase(word, "PASS") != 0 && fw::CompareNoCase(word, "ACCT") != 0) return 0;
  if (kBlanks.find(line[verb + 4]) == std::string_view::npos) return 0;
  if (line.find_first_not_of(kBlanks, verb + 4) == std::string_view::npos) return 0;
  return verb + 4;
}

// The command with a password or account secret masked; every other line unchanged.
std::string MaskSecret(std::string_view line) {
  const std::size_t verbEnd = SecretVerbEnd(line);
  if (verbEnd == 0) return std::string(line);
  std::string masked(line.substr(0, verbEnd));
  masked += " ********";
  return masked;
}

// The event formats and the texts of the host's result codes, loaded once for the module's life.
constexpr unsigned kEventFormatCount = 8;
constexpr std::uint32_t kKnownResultCount = 13;

const std::string& CachedText(unsigned index) {
  static const auto texts = [] {
    std::array<std::string, kEventFormatCount + kKnownResultCount> loaded;
    for (unsigned i = 0; i < kEventFormatCount; ++i) loaded[i] = fw::LoadString(IDS_EVENT_CONNECTION_START + i);
    for (unsigned i = 0; i < kKnownResultCount; ++i)
      loaded[kEventFormatCount + i] = fw::LoadString(IDS_RESULT_BASE + i);
    return loaded;
  }();
  return texts[index];
}

const std::string& EventFormat(unsigned id) {
  static const std::string kNone;
  const unsigned index = id - IDS_EVENT_CONNECTION_START;
  return index < kEventFormatCount ? CachedText(index) : kNone;
}

// Appends `format` with each "%s" replaced by the next argument and "%%" by "%", as the
// platform's formatting does for these texts.
// An argument's CR and LF become blanks: one event is one line.
void AppendFormatted(std::string& out, std::string_view format, std::initializer_list<const char*> args) {
  auto arg = args.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 == format.size()) {
      out += format[i];
    } else if (format[i + 1] == 's') {
      if (arg != args.end()) {
        for (const char c : std::string_view(OrEmpty(*arg++))) out += c == '\r' || c == '\n' ? ' ' : c;
      }
      ++i;
    } else if (format[i + 1] == '%') {
      out += '%';
      ++i;
    } else {
      out += '%';
    }
  }
}

}  // namespace

CNotifySession::CNotifySession(void* hSession, const char* pszProfile) : m_hSession(hSession), m_config(pszProfile) {
  const std::uint32_t tickCount = fw::GetTickCount();
  try {
    m_config.Load();
    const CNotifyAddOnApp* app = CNotifyAddOnApp::Get();
    OpenJournalFiles(app ? app->m_strDataDir : std::string(), tickCount);

    m_strPrefixCommand = fw::LoadString(IDS_PREFIX_COMMAND);
    m_strPrefixStatus = fw::LoadString(IDS_PREFIX_STATUS);
    m_strPrefixError = fw::LoadString(IDS_PREFIX_ERROR);
    for (const std::string* prefix : {&m_strPrefixCommand, &m_strPrefixStatus, &m_strPrefixError}) {
      m_nPrefixWidth = std::max(m_nPrefixWidth, static_cast<int>(prefix->size()));
    }
    m_strLine.reserve(256);
    m_strLogPending.reserve(2 * kLogFlushSize);
  } catch (...) {
    CloseFiles();
    DeleteOwnFiles();
    throw;
  }
}

CNotifySession::~CNotifySession() {
  CloseFiles();
  if (!m_bHandedOver) DeleteOwnFiles();
}

void CNotifySession::OpenJournalFiles(const std::string& dataDir, std::uint32_t tickCount) {
  // Handle and tick count are printed as signed 32-bit numbers.
  const auto handle = static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(m_hSession));
  // Names that are taken (files a crashed host left behind, say) move on to the next tick
  // number until both are free; any other failure ends the search. Each of the 2^32 numbers
  // is tried at most once.
  std::uint32_t offset = 0;
  do {
    const auto tick = static_cast<std::int32_t>(tickCount + offset);
    m_strLogFile = fw::Format("%sLog_%d_%d.txt", dataDir.c_str(), handle, tick);
    m_strInfoFile = fw::Format("%sInformation_%d_%d.txt", dataDir.c_str(), handle, tick);
    if (dataDir.empty()) break;  // no data directory: the journal records nothing

    // Both names must be free: an existing file is never truncated, the next tick number is
    // tried instead. Any other failure is final for that file.
    fw::CFileException::Cause cause = fw::CFileException::kGeneric;
    m_bLogCreated = m_fileLog.Open(m_strLogFile, kJournalOpenFlags, &cause);
    if (!m_bLogCreated && cause == fw::CFileException::kAlreadyExists) continue;
    m_bInfoCreated = m_fileInfo.Open(m_strInfoFile, kJournalOpenFlags, &cause);
    if (!m_bInfoCreated && cause == fw::CFileException::kAlreadyExists) {
      if (m_bLogCreated) {
        m_fileLog.Abort();
        fw::DeleteFile(m_strLogFile);
        m_bLogCreated = false;
      }
      continue;
    }
    break;
  } while (++offset != 0);
  m_bLogClosed = !m_bLogCreated;
  m_bInfoClosed = !m_bInfoCreated;
}

void CNotifySession::CloseFiles() {
  FlushLog();
  try {
    m_fileLog.Close();
  } catch (...) {
  }
  try {
    m_fileInfo.Close();
  } catch (...) {
  }
}

void CNotifySession::DeleteOwnFiles() {
  if (m_bLogCreated) fw::DeleteFile(m_strLogFile);
  if (m_bInfoCreated) fw::DeleteFile(m_strInfoFile);
  m_bLogCreated = false;
  m_bInfoCreated = false;
}

void CNotifySession::ReloadSettings(const char* pszProfile) {
  const char* profile = OrEmpty(pszProfile);
  if (*profile != '\0' && fw::CompareNoCase(profile, m_config.m_strProfile) != 0) return;
  m_config.Load();
}

void CNotifySession::EndSession() {
  if (m_nInfoLineCount == 0 || m_bHandedOver) return;
  CloseFiles();
  m_bLogClosed = true;
  m_bInfoClosed = true;
  CNotifyAddOnApp* app = CNotifyAddOnApp::Get();
  if (!app) return;
  // From here on the files belong to the mail job (or QueueMail deletes them).
  m_bHandedOver = true;
  app->QueueMail(&m_config, m_strInfoFile.c_str(), m_strLogFile.c_str(), m_nLogLineCount);
}

void CNotifySession::OnConnectionStart(std::uint32_t nResult, const char* pszHost) {
  WriteEventLine(nResult, IDS_EVENT_CONNECTION_START, pszHost);
}

void CNotifySession::OnFileDownloaded(std::uint32_t nResult, const char* pszSource, const char* pszTarget) {
  WriteEventLine(nResult, IDS_EVENT_FILE_DOWNLOADED, pszSource, pszTarget);
}

void CNotifySession::OnFileUploaded(std::uint32_t nResult, const char* pszSource, const char* pszTarget) {
  WriteEventLine(nResult, IDS_EVENT_FILE_UPLOADED, pszSource, pszTarget);
}

void CNotifySession::OnFileDeleted(std::uint32_t nResult, const char* pszPath) {
  WriteEventLine(nResult, IDS_EVENT_FILE_DELETED, pszPath);
}

void CNotifySession::OnFileRenamed(std::uint32_t nResult, const char* pszOldName, const char* pszNewName) {
  WriteEventLine(nResult, IDS_EVENT_FILE_RENAMED, pszOldName, pszNewName);
}

void CNotifySession::OnDirCreated(std::uint32_t nResult, const char* pszPath) {
  WriteEventLine(nResult, IDS_EVENT_DIR_CREATED, pszPath);
}

void CNotifySession::OnDirDeleted(std::uint32_t nResult, const char* pszPath) {
  WriteEventLine(nResult, IDS_EVENT_DIR_DELETED, pszPath);
}

void CNotifySession::OnConnectionEnd(std::uint32_t nResult) {
  WriteEventLine(nResult, IDS_EVENT_CONNECTION_END);
}

void CNotifySession::LogCommand(const char* pszLine) {
  // No password or account secret reaches the disk: the command is masked before it is split
  // into lines, so that no piece of a secret escapes, and each line again.
  WriteLogText(m_strPrefixCommand, MaskSecret(OrEmpty(pszLine)), true);
}

void CNotifySession::LogResponse(const char* pszLine) {
  WriteLogText(std::string(), OrEmpty(pszLine), false);
}

void CNotifySession::LogStatus(const char* pszLine, bool bError) {
  WriteLogText(bError ? m_strPrefixError : m_strPrefixStatus, OrEmpty(pszLine), false);
}

void CNotifySession::WriteLogText(const std::string& prefix, std::string_view text, bool bMask) {
  // CR LF, a lone CR and a lone LF each end a line; a break at the very end adds no line and an
  // empty text is one empty line. The first line has the prefix; each further line is a
  // continuation, indented like a response. No line list is built: this runs for every line
  // the host logs.
  static const std::string kNoPrefix;
  const std::string* linePrefix = &prefix;
  std::size_t start = 0;
  do {
    // A plain scan: find_first_of calls memchr once per character.
    const std::size_t cut = static_cast<std::size_t>(
        std::find_if(text.begin() + start, text.end(), [](char c) { return c == '\r' || c == '\n'; }) - text.begin());
    const std::string_view line = text.substr(start, cut - start);
    if (bMask) {
      WriteLogLine(*linePrefix, MaskSecret(line));
    } else {
      WriteLogLine(*linePrefix, line);
    }
    linePrefix = &kNoPrefix;
    start = cut + (text.compare(cut, 2, "\r\n") == 0 ? 2 : 1);
  } while (start < text.size());
}

void CNotifySession::WriteLogLine(const std::string& prefix, std::string_view text) {
  if (m_bLogClosed) return;
  // "%-*s %s\n": the prefix padded to the column width, a blank, the text.
  const std::size_t column = std::max(prefix.size(), static_cast<std::size_t>(m_nPrefixWidth));
  const std::size_t start = m_strLogPending.size();
  m_strLogPending.resize(start + column + 1 + text.size() + 1);
  char* out = m_strLogPending.data() + start;
  std::copy_n(prefix.data(), prefix.size(), out);
  std::memset(out + prefix.size(), ' ', column + 1 - prefix.size());
  std::copy_n(text.data(), text.size(), out + column + 1);
  out[column + 1 + text.size()] = '\n';
  ++m_nLogLineCount;
  if (m_strLogPending.size() >= kLogFlushSize) FlushLog();
}

void CNotifySession::FlushLog() noexcept {
  if (m_strLogPending.empty()) return;
  try {
    m_fileLog.WriteString(m_strLogPending);
  } catch (...) {
    m_bLogClosed = true;  // later lines are dropped
  }
  m_strLogPending.clear();
}

void CNotifySession::WriteEventLine(std::uint32_t nResult, unsigned formatId, const char* pszArg1,
                                    const char* pszArg2) {
  if (m_bInfoClosed) return;
  const int notifyWhen = m_config.m_nNotifyWhen;
  if (notifyWhen == kNotifyOnError && nResult == 0) return;
  if (notifyWhen != kNotifyOnError && notifyWhen != kNotifyAlways) return;

  m_strLine.clear();
  AppendTimeStamp(m_strLine);
  m_strLine += " - (";
  if (nResult < kKnownResultCount) {
    m_strLine += CachedText(kEventFormatCount + nResult);
  } else {
    m_strLine += GetResultText(nResult);
  }
  m_strLine += ") - ";
  AppendFormatted(m_strLine, EventFormat(formatId), {pszArg1, pszArg2});
  m_strLine += '\n';
  try {
    m_fileInfo.WriteString(m_strLine);
  } catch (const fw::CFileException&) {
    m_bInfoClosed = true;
  }
  // Counted also after a failed write: the mail is still due.
  ++m_nInfoLineCount;
}

void CNotifySession::AppendTimeStamp(std::string& line) {
  const std::int64_t now = fw::Time64();
  if (!m_bStampValid || now != m_nStampTime) {
    m_strStamp = FormatDateTime(now, true);
    m_nStampTime = now;
    m_bStampValid = true;
  }
  line += m_strStamp;
}

std::string CNotifySession::GetResultText(std::uint32_t nResult) {
  // Computed in 64 bits: a large code must not wrap around to an existing id.
  return fw::LoadString(static_cast<unsigned long long>(IDS_RESULT_BASE) + nResult);
}

std::string CNotifySession::FormatDate(std::int64_t t) {
  fw::CalendarTime local;
  return fw::ToLocalTime(t, local) ? fw::FormatShortDate(local) : std::string();
}

std::string CNotifySession::FormatTime(std::int64_t t, bool bWithSeconds) {
  fw::CalendarTime local;
  return fw::ToLocalTime(t, local) ? fw::FormatTimeOfDay(local, bWithSeconds) : std::string();
}

std::string CNotifySession::FormatDateTime(std::int64_t t, bool bWithSeconds) {
  return FormatDate(t) + ' ' + FormatTime(t, bWithSeconds);
}
