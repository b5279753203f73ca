// Shared pieces of the delivery benchmarks (see BenchSupport.h).
#include "bench/BenchSupport.h"

#include <malloc.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "addon/exports.h"
#include "framework/app.h"
#include "framework/filesystem.h"

namespace bench {

long StatusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  const std::string prefix = std::string(field) + ":";
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
  }
  return -1;
}

bool ResetPeakRss() {
  std::FILE* file = std::fopen("/proc/self/clear_refs", "w");
  if (!file) return false;
  const bool written = std::fputs("5", file) >= 0;
  return std::fclose(file) == 0 && written;
}

std::size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

bool BenchApp::QueueMail(const CNotifyConfig* pConfig, const char* pszInfoFile, const char* pszLogFile,
                         int nLogLineCount) {
  if (!m_bCapture) return CNotifyAddOnApp::QueueMail(pConfig, pszInfoFile, pszLogFile, nLogLineCount);
  m_captured.push_back({pszInfoFile, pszLogFile, nLogLineCount});
  return true;
}

Environment::Environment(const std::string& name) {
  m_dir = std::filesystem::temp_directory_path() / ("qbnotify-" + name + "-" + std::to_string(getpid()));
  std::filesystem::remove_all(m_dir);
  std::filesystem::create_directories(m_dir);
  setenv("QBNOTIFY_REGISTRY", File("registry.sqlite3").c_str(), 1);
  m_app = std::make_unique<BenchApp>();
  m_app->SetModuleFilePath(File(std::string("QBNotifyAddOn") + fw::kModuleExtension));
  m_app->InitInstance();
}

Environment::~Environment() {
  m_app->ExitInstance();
  m_app.reset();
  std::error_code error;
  std::filesystem::remove_all(m_dir, error);
}

CNotifyConfig Environment::Config(std::uint16_t port, int nLogLines) {
  CNotifyConfig config("Bench");
  config.m_strSmtpServer = "127.0.0.1";
  config.m_nSmtpPort = port;
  config.m_strDeliverTo = "ops@example.org";
  config.m_strFromEmail = "notify@example.org";
  config.m_nLogLines = nLogLines;
  return config;
}

void Environment::SaveConfig(std::uint16_t port, int nNotifyWhen, int nLogLines) const {
  CNotifyConfig config = Config(port, nLogLines);
  config.m_nNotifyWhen = nNotifyWhen;
  config.Save();
}

namespace {

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line + "\n");
  return lines;
}

}  // namespace

JournalSample MakeJournalSample(Environment& env, int transfers) {
  BenchApp& app = env.App();
  app.m_bCapture = true;
  app.m_captured.clear();
  void* const session = reinterpret_cast<void*>(0x5a17);
  QBAddOnSessionCreate(session, "Bench");
  QBAddOnLogStatus(session, "Connecting to ftp.example.org:21", 0);
  QBAddOnConnectionStart(session, 0, "ftp.example.org");
  QBAddOnLogResponse(session, "220 ftp.example.org FTP server ready");
  QBAddOnLogCommand(session, "USER backup");
  QBAddOnLogResponse(session, "331 Password required for backup");
  QBAddOnLogCommand(session, "PASS secret");
  QBAddOnLogResponse(session, "230 User backup logged in");
  char source[256];
  char target[256];
  char line[256];
  for (int i = 0; i < transfers; ++i) {
    // Mostly successful transfers, a timeout or a refused file now and then.
    const unsigned result = i % 17 == 0 ? 3u : (i % 29 == 0 ? 7u : 0u);
    std::snprintf(source, sizeof source, "/pub/releases/2024/build-%05d/archive-%05d.tar.gz", i / 40, i);
    std::snprintf(target, sizeof target, "D:\\Mirror\\releases\\2024\\build-%05d\\archive-%05d.tar.gz", i / 40, i);
    std::snprintf(line, sizeof line, "RETR archive-%05d.tar.gz", i);
    QBAddOnLogCommand(session, "TYPE I");
    QBAddOnLogResponse(session, "200 Type set to I");
    QBAddOnLogCommand(session, "PASV");
    QBAddOnLogResponse(session, "227 Entering Passive Mode (192,0,2,17,195,80).");
    QBAddOnLogCommand(session, line);
    QBAddOnLogResponse(session, "150 Opening BINARY mode data connection (1048576 bytes)");
    QBAddOnLogResponse(session, result == 0 ? "226 Transfer complete" : "426 Connection closed; transfer aborted");
    if (i % 5 == 4) {
      QBAddOnFileUploaded(session, result, target, source);
    } else {
      QBAddOnFileDownloaded(session, result, source, target);
    }
    if (i % 50 == 49) {
      QBAddOnDirCreated(session, 0, "/pub/releases/2024/incoming");
      QBAddOnFileRenamed(session, 0, "/pub/releases/2024/incoming/.upload.tmp", "/pub/releases/2024/incoming/ok");
      QBAddOnFileDeleted(session, i % 100 == 99 ? 5u : 0u, "/pub/releases/2024/incoming/old.tar.gz");
    }
  }
  QBAddOnLogCommand(session, "QUIT");
  QBAddOnLogResponse(session, "221 Goodbye.");
  QBAddOnConnectionEnd(session, 0);
  QBAddOnSessionDestroy(session);
  app.m_bCapture = false;

  JournalSample sample;
  for (const BenchApp::Handover& handover : app.m_captured) {
    sample.infoLines = ReadLines(handover.infoFile);
    sample.logLines = ReadLines(handover.logFile);
    fw::DeleteFile(handover.infoFile);
    fw::DeleteFile(handover.logFile);
  }
  app.m_captured.clear();
  return sample;
}

std::uint64_t WriteRepeated(const std::string& path, const std::vector<std::string>& lines, std::uint64_t maxBytes,
                            std::uint64_t maxLines) {
  if (lines.empty()) return 0;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return 0;
  std::vector<char> buffer(1 << 20);
  std::setvbuf(file, buffer.data(), _IOFBF, buffer.size());
  std::uint64_t bytes = 0;
  for (std::uint64_t i = 0; i < maxLines; ++i) {
    const std::string& line = lines[i % lines.size()];
    if (bytes + line.size() > maxBytes) break;
    std::fwrite(line.data(), 1, line.size(), file);
    bytes += line.size();
  }
  return std::fclose(file) == 0 ? bytes : 0;
}

void MedianReporter::ReportRuns(const std::vector<Run>& runs) {
  for (const Run& run : runs) {
    std::string name = run.run_name.function_name;
    if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
    const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
    if (!median && (run.run_type != Run::RT_Iteration || m_fromMedian[name])) continue;
    m_fromMedian[name] = median;
    auto& values = m_values[name];
    for (const auto& [counter, value] : run.counters) values[counter] = value.value;
    values["real_time_ms"] = run.GetAdjustedRealTime() * 1000.0 / benchmark::GetTimeUnitMultiplier(run.time_unit);
  }
  ConsoleReporter::ReportRuns(runs);
}

double MedianReporter::Get(const std::string& benchmark, const std::string& counter) const {
  const auto values = m_values.find(benchmark);
  if (values == m_values.end()) return 0;
  const auto value = values->second.find(counter);
  return value == values->second.end() ? 0 : value->second;
}

std::vector<std::string> RunBenchmarks(int argc, char** argv, std::vector<std::string> defaults,
                                       benchmark::BenchmarkReporter& reporter) {
  std::vector<char*> args{argv[0]};
  for (std::string& flag : defaults) args.push_back(flag.data());
  args.insert(args.end(), argv + 1, argv + argc);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  benchmark::RunSpecifiedBenchmarks(&reporter);
  return std::vector<std::string>(args.begin(), args.begin() + count);
}

}  // namespace bench
