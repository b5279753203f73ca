// CNotifySession: the journal of one FTP session of the host. It writes one time-stamped line
// per qualifying event to its Information file and one prefixed line per protocol line to its
// Log file, and at the session's end hands both files to a mail job when an event was recorded.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "framework/stdio_file.h"
#include "settings/NotifyConfig.h"

class CNotifySession {
 public:
  // Loads the settings of pszProfile (null: the global configuration) and creates both journal
  // files in the application object's data directory. No line is written yet.
  CNotifySession(void* hSession, const char* pszProfile);
  // Closes the files; deletes them unless they were handed to a mail job.
  virtual ~CNotifySession();
  CNotifySession(const CNotifySession&) = delete;
  CNotifySession& operator=(const CNotifySession&) = delete;

  // Reloads the settings when pszProfile is empty or names this session's profile (any case).
  void ReloadSettings(const char* pszProfile);
  // Hands both files to a mail job when an event line was recorded; the session then takes
  // no more lines.
  void EndSession();

  void OnConnectionStart(std::uint32_t nResult, const char* pszHost);
  void OnFileDownloaded(std::uint32_t nResult, const char* pszSource, const char* pszTarget);
  void OnFileUploaded(std::uint32_t nResult, const char* pszSource, const char* pszTarget);
  void OnFileDeleted(std::uint32_t nResult, const char* pszPath);
  void OnFileRenamed(std::uint32_t nResult, const char* pszOldName, const char* pszNewName);
  void OnDirCreated(std::uint32_t nResult, const char* pszPath);
  void OnDirDeleted(std::uint32_t nResult, const char* pszPath);
  void OnConnectionEnd(std::uint32_t nResult);

  void LogCommand(const char* pszLine);
  void LogResponse(const char* pszLine);
  void LogStatus(const char* pszLine, bool bError);

  // Text of a result code: string 6500 + code, empty when there is none.
  static std::string GetResultText(std::uint32_t nResult);
  // The user's short date, time of day and both ("%s %s") of a calendar time; empty texts
  // when the time cannot be converted.
  static std::string FormatDate(std::int64_t t);
  static std::string FormatTime(std::int64_t t, bool bWithSeconds);
  static std::string FormatDateTime(std::int64_t t, bool bWithSeconds);

  const CNotifyConfig& GetConfig() const { return m_config; }
  const std::string& GetLogFile() const { return m_strLogFile; }
  const std::string& GetInfoFile() const { return m_strInfoFile; }
  int GetLogLineCount() const { return m_nLogLineCount; }
  int GetInfoLineCount() const { return m_nInfoLineCount; }

 private:
  void OpenJournalFiles(const std::string& dataDir, std::uint32_t tickCount);
  // Writes a host's text as journal lines: one per line of the text (Log Lines counts them).
  void WriteLogText(const std::string& prefix, std::string_view text, bool bMask);
  void WriteLogLine(const std::string& prefix, std::string_view text);
  void WriteEventLine(std::uint32_t nResult, unsigned formatId, const char* pszArg1 = nullptr,
                      const char* pszArg2 = nullptr);
  // Appends the date and time of now, cached for the current second of the clock.
  void AppendTimeStamp(std::string& line);
  // Writes the buffered Log lines to the file; a failure closes the Log for further lines.
  void FlushLog() noexcept;
  // Flushes and closes both files, ignoring errors.
  void CloseFiles();
  void DeleteOwnFiles();

  void* m_hSession;
  CNotifyConfig m_config;
  int m_nPrefixWidth = 0;
  std::string m_strLogFile;
  fw::CStdioFile m_fileLog;
  bool m_bLogClosed = true;
  int m_nLogLineCount = 0;
  std::string m_strInfoFile;
  fw::CStdioFile m_fileInfo;
  bool m_bInfoClosed = true;
  int m_nInfoLineCount = 0;

  // Files this session created (only those it may delete), and whether a mail job took them.
  bool m_bLogCreated = false;
  bool m_bInfoCreated = false;
  bool m_bHandedOver = false;

  // Log lines not yet handed to the file (bounded: flushed at a few KiB and before closing).
  std::string m_strLogPending;
  // Prefix texts, loaded once, and a line buffer reused for every event line.
  std::string m_strPrefixCommand;
  std::string m_strPrefixStatus;
  std::string m_strPrefixError;
  std::string m_strLine;

  // Date and time text of the second m_nStampTime, valid once m_bStampValid is set.
  bool m_bStampValid = false;
  std::int64_t m_nStampTime = 0;
  std::string m_strStamp;
};
