// Throughput of the journal through the exports, as the host's thread pays for it: protocol
// lines (QBAddOnLogResponse) and event lines with "Notify When" 1 (QBAddOnFileDownloaded),
// each against writing the same bytes with plain buffered stdio. After the runs it prints the
// ratios and the peak resident set size before and after a long session.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "addon/NotifyAddOnApp.h"
#include "addon/exports.h"
#include "bench/BenchSupport.h"
#include "framework/app.h"
#include "framework/clock.h"
#include "framework/filesystem.h"
#include "journal/NotifySession.h"
#include "settings/NotifyConfig.h"

namespace {

constexpr int kLinesPerSession = 100000;
const char kResponse[] = "226 Transfer complete. 1048576 bytes in 0.42 s (2.38 MiB/s)";
const char kSource[] = "/pub/releases/2024/archive-0042.tar.gz";
const char kTarget[] = "C:\\Downloads\\releases\\archive-0042.tar.gz";

// Takes each mail job by deleting its files: delivery is not what is measured.
class BenchApp : public CNotifyAddOnApp {
 public:
  bool QueueMail(const CNotifyConfig*, const char* pszInfoFile, const char* pszLogFile, int) override {
    fw::DeleteFile(pszInfoFile);
    fw::DeleteFile(pszLogFile);
    return true;
  }
};

BenchApp* g_app = nullptr;
std::string g_dir;
void* const kSession = reinterpret_cast<void*>(42);

std::string LogLineBytes() {
  return std::string(11, ' ') + kResponse + "\r\n";
}

std::string EventLineBytes() {
  return CNotifySession::FormatDateTime(fw::Time64(), true) + " - (Erfolgreich) - Download: \"" + kSource +
         "\" --> \"" + kTarget + "\"\r\n";
}

// The baseline: the same bytes through one buffered stdio stream per session.
void WriteWithStdio(const std::string& line) {
  const std::string path = g_dir + "baseline.txt";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) std::abort();
  for (int i = 0; i < kLinesPerSession; ++i) std::fwrite(line.data(), 1, line.size(), file);
  std::fclose(file);
  std::remove(path.c_str());
}

void BM_LogResponse(benchmark::State& state) {
  for (auto _ : state) {
    QBAddOnSessionCreate(kSession, "Bench");
    for (int i = 0; i < kLinesPerSession; ++i) QBAddOnLogResponse(kSession, kResponse);
    QBAddOnSessionDestroy(kSession);
  }
  state.SetBytesProcessed(state.iterations() * kLinesPerSession * static_cast<std::int64_t>(LogLineBytes().size()));
}

void BM_LogResponseBaseline(benchmark::State& state) {
  const std::string line = LogLineBytes();
  for (auto _ : state) WriteWithStdio(line);
  state.SetBytesProcessed(state.iterations() * kLinesPerSession * static_cast<std::int64_t>(line.size()));
}

void BM_EventAlways(benchmark::State& state) {
  for (auto _ : state) {
    QBAddOnSessionCreate(kSession, "Bench");
    for (int i = 0; i < kLinesPerSession; ++i) QBAddOnFileDownloaded(kSession, 0, kSource, kTarget);
    QBAddOnSessionDestroy(kSession);
  }
  state.SetBytesProcessed(state.iterations() * kLinesPerSession * static_cast<std::int64_t>(EventLineBytes().size()));
}

void BM_EventAlwaysBaseline(benchmark::State& state) {
  const std::string line = EventLineBytes();
  for (auto _ : state) WriteWithStdio(line);
  state.SetBytesProcessed(state.iterations() * kLinesPerSession * static_cast<std::int64_t>(line.size()));
}

// The fixed cost of a session without lines (settings load, two files made and deleted).
void BM_SessionCreateDestroy(benchmark::State& state) {
  for (auto _ : state) {
    QBAddOnSessionCreate(kSession, "Bench");
    QBAddOnSessionDestroy(kSession);
  }
}

BENCHMARK(BM_SessionCreateDestroy)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LogResponse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LogResponseBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EventAlways)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EventAlwaysBaseline)->Unit(benchmark::kMillisecond);

// The ratio of a benchmark's bytes per second to its "Baseline" twin's; 0 when one is missing.
double Ratio(const bench::MedianReporter& reporter, const std::string& name) {
  const double baseline = reporter.Get(name + "Baseline", "bytes_per_second");
  return baseline > 0 ? reporter.Get(name, "bytes_per_second") / baseline : 0;
}

// One long session: the peak resident size must not follow the number of lines.
void ReportMemory() {
  constexpr int kLines = 1000000;
  QBAddOnSessionCreate(kSession, "Bench");
  for (int i = 0; i < 1000; ++i) {
    QBAddOnLogResponse(kSession, kResponse);
    QBAddOnFileDownloaded(kSession, 0, kSource, kTarget);
  }
  const long before = bench::StatusKiB("VmHWM");
  for (int i = 0; i < kLines; ++i) {
    QBAddOnLogResponse(kSession, kResponse);
    QBAddOnFileDownloaded(kSession, 0, kSource, kTarget);
  }
  const long after = bench::StatusKiB("VmHWM");
  QBAddOnSessionDestroy(kSession);
  std::printf("peak RSS: %ld KiB after 1000 lines of each kind, %ld KiB after %d more of each\n", before, after,
              kLines);
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "qbnotify-bench";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  g_dir = dir.string() + fw::kPathSeparator;
  setenv("QBNOTIFY_REGISTRY", (g_dir + "registry.sqlite3").c_str(), 1);

  BenchApp app;
  g_app = &app;
  app.SetModuleFilePath(g_dir + "QBNotifyAddOn" + fw::kModuleExtension);
  app.InitInstance();
  CNotifyConfig config("Bench");
  config.m_strSmtpServer = "smtp.example";
  config.m_nNotifyWhen = 1;
  config.Save();

  // Defaults for steadier figures on a shared machine; flags given on the command line win.
  bench::MedianReporter reporter;
  const std::vector<std::string> rest =
      bench::RunBenchmarks(argc, argv,
                           {"--benchmark_repetitions=5", "--benchmark_report_aggregates_only=true",
                            "--benchmark_enable_random_interleaving=true"},
                           reporter);
  std::printf("log lines: %.2f of the stdio baseline (target 0.7)\n", Ratio(reporter, "BM_LogResponse"));
  std::printf("event lines: %.2f of the stdio baseline (target 0.3)\n", Ratio(reporter, "BM_EventAlways"));
  if (!(rest.size() > 1 && rest[1] == "--skip-memory")) ReportMemory();
  benchmark::Shutdown();

  app.ExitInstance();
  std::filesystem::remove_all(dir);
  return 0;
}
