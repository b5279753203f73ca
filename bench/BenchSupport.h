// Shared pieces of the benchmarks: process memory figures, a temporary module directory with
// its own registry and application object, journal lines written by the real journal, large
// input files built from them, and the runner with a reporter that keeps each benchmark's
// median counters for the summary.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "addon/NotifyAddOnApp.h"
#include "settings/NotifyConfig.h"

namespace bench {

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"); -1 when it cannot be read.
long StatusKiB(const char* field);
// Starts a new peak (VmHWM = VmRSS now); false where the system does not allow it.
bool ResetPeakRss();
// Bytes of heap in use, every malloc arena and large block included.
std::size_t HeapInUse();

// The application object of the benchmarks: hands mail jobs to the real worker, or, while
// capturing, keeps the journal files and records them instead.
class BenchApp : public CNotifyAddOnApp {
 public:
  struct Handover {
    std::string infoFile, logFile;
    int nLogLineCount = 0;
  };

  bool QueueMail(const CNotifyConfig* pConfig, const char* pszInfoFile, const char* pszLogFile,
                 int nLogLineCount) override;

  bool m_bCapture = false;
  std::vector<Handover> m_captured;
};

// A fresh temporary directory holding the module path, its data directory and the registry
// file; the application object is started in it. Removed with its contents at the end.
class Environment {
 public:
  explicit Environment(const std::string& name);
  ~Environment();
  Environment(const Environment&) = delete;
  Environment& operator=(const Environment&) = delete;

  BenchApp& App() { return *m_app; }
  std::string File(const std::string& name) const { return (m_dir / name).string(); }
  // Saves the settings of profile "Bench": the sink on loopback as the server.
  void SaveConfig(std::uint16_t port, int nNotifyWhen, int nLogLines) const;
  static CNotifyConfig Config(std::uint16_t port, int nLogLines);

 private:
  std::filesystem::path m_dir;
  std::unique_ptr<BenchApp> m_app;
};

// Lines of one session as the journal wrote them (line ends included): the events of a
// transfer session with failures among them, and its protocol log.
struct JournalSample {
  std::vector<std::string> infoLines;
  std::vector<std::string> logLines;
};
// Runs one session of `transfers` transfers through the exports (profile "Bench" must exist
// with "Notify When" 1) and returns its lines.
JournalSample MakeJournalSample(Environment& env, int transfers);

// Writes `lines` round and round into a new file at `path` until the next line would pass
// maxBytes or maxLines lines are written. Returns the bytes written (0 on failure).
std::uint64_t WriteRepeated(const std::string& path, const std::vector<std::string>& lines, std::uint64_t maxBytes,
                            std::uint64_t maxLines);

// Keeps the counters of each benchmark (by name with its arguments) from the median
// aggregate, or from the single run when there are no repetitions.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override;
  // The counter's value, or 0 when the benchmark did not run.
  double Get(const std::string& benchmark, const std::string& counter) const;

 private:
  std::map<std::string, std::map<std::string, double>> m_values;
  std::map<std::string, bool> m_fromMedian;
};

// Runs the benchmarks that the command line selects, reporting to `reporter`, with this
// program's default flags in front of the given ones (flags given later win). Returns the
// arguments that were no benchmark flags, the program's name first.
std::vector<std::string> RunBenchmarks(int argc, char** argv, std::vector<std::string> defaults,
                                       benchmark::BenchmarkReporter& reporter);

}  // namespace bench
