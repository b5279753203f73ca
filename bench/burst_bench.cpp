// A burst of 1,000 sessions that end within about one second, driven through the exports as
// the host drives them (create, a failed download among a few events and log lines, destroy),
// with settings that point at a loopback SMTP sink. Every mail must arrive and name its own
// session in its Information text; the heap must be back at its level once the worker has
// reaped every job and QBAddOnCanUnload answers 1. Each run prints its figures; the summary
// gives the medians.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "addon/exports.h"
#include "bench/BenchSupport.h"
#include "bench/SmtpSink.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kSessions = 1000;
constexpr unsigned kFailed = 5;  // a result code that is an error

bench::SmtpSink* g_sink = nullptr;
int g_nRound = 0;

struct Burst {
  int delivered = 0;
  int misattributed = 0;     // messages that name no session of this burst, or one named before
  double endSeconds = 0;     // first create to last destroy
  double allSeconds = 0;     // first create to the last 250
  double drainSeconds = 0;   // last destroy to the last 250
  double spreadSeconds = 0;  // first 250 to last 250
  double reapSeconds = 0;    // last destroy to QBAddOnCanUnload answering 1
  long long heapGrowth = 0;
  long rssGrowthKiB = 0;
  long peakGrowthKiB = -1;  // VmHWM during the burst over VmRSS before it
};

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

bool WaitUntilIdle(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (QBAddOnCanUnload() != 1) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

void RunSession(void* session, int round, int index) {
  char source[128];
  char target[128];
  char command[128];
  std::snprintf(source, sizeof source, "/outgoing/round-%03d/session-%04d/report.csv", round, index);
  std::snprintf(target, sizeof target, "C:\\Reports\\round-%03d\\session-%04d.csv", round, index);
  std::snprintf(command, sizeof command, "RETR /outgoing/round-%03d/session-%04d/report.csv", round, index);
  QBAddOnSessionCreate(session, "Bench");
  QBAddOnLogStatus(session, "Connecting to ftp.example.org", 0);
  QBAddOnConnectionStart(session, 0, "ftp.example.org");
  QBAddOnLogCommand(session, "USER reports");
  QBAddOnLogResponse(session, "230 User reports logged in");
  QBAddOnLogCommand(session, command);
  QBAddOnLogResponse(session, "550 report.csv: Permission denied");
  QBAddOnLogStatus(session, "Download failed", 1);
  QBAddOnFileDownloaded(session, kFailed, source, target);
  QBAddOnConnectionEnd(session, 0);
  QBAddOnSessionDestroy(session);
}

// The session that a message names, or -1: every session name in its text (the event line
// of its Information part and its log lines) must be the same one, of this burst.
int SessionOf(const std::string& text, int round) {
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "round-%03d", round);
  static constexpr char kName[] = "session-";
  int index = -1;
  for (std::size_t at = text.find(kName); at != std::string::npos; at = text.find(kName, at + 1)) {
    const std::size_t roundAt = text.rfind(prefix, at);
    const int named = std::atoi(text.c_str() + at + sizeof kName - 1);
    // "round-001/session-0042" or "round-001\\session-0042"
    const bool ofThisRound = roundAt != std::string::npos && at - roundAt == std::strlen(prefix) + 1;
    if (!ofThisRound || (index >= 0 && named != index)) {
      return -1;
    }
    index = named;
  }
  return index;
}

Burst RunBurst() {
  Burst result;
  const int round = ++g_nRound;
  WaitUntilIdle(30s);
  const std::size_t heapBefore = bench::HeapInUse();
  const bool peakReset = bench::ResetPeakRss();
  const long rssBefore = bench::StatusKiB("VmRSS");
  const std::size_t base = g_sink->MessageCount();

  const Clock::time_point start = Clock::now();
  for (int i = 0; i < kSessions; ++i) {
    RunSession(reinterpret_cast<void*>(static_cast<std::uintptr_t>(round) << 16 | static_cast<std::uintptr_t>(i + 1)),
               round, i);
  }
  const Clock::time_point ended = Clock::now();
  g_sink->WaitForMessages(base + kSessions, 60s);
  WaitUntilIdle(60s);
  const Clock::time_point reaped = Clock::now();

  {
    const std::vector<bench::SmtpSink::Message> messages = g_sink->TakeMessages();
    std::set<int> seen;
    Clock::time_point first = Clock::time_point::max();
    Clock::time_point last = start;
    for (const bench::SmtpSink::Message& message : messages) {
      first = std::min(first, message.accepted);
      last = std::max(last, message.accepted);
      const int index = SessionOf(message.text, round);
      if (index < 0 || index >= kSessions || !seen.insert(index).second) ++result.misattributed;
    }
    result.delivered = static_cast<int>(messages.size());
    result.allSeconds = Seconds(last - start);
    result.drainSeconds = Seconds(last - ended);
    result.spreadSeconds = messages.empty() ? 0 : Seconds(last - first);
  }
  result.endSeconds = Seconds(ended - start);
  result.reapSeconds = Seconds(reaped - ended);
  result.heapGrowth = static_cast<long long>(bench::HeapInUse()) - static_cast<long long>(heapBefore);
  result.rssGrowthKiB = bench::StatusKiB("VmRSS") - rssBefore;
  if (peakReset) result.peakGrowthKiB = bench::StatusKiB("VmHWM") - rssBefore;
  std::printf(
      "burst %d: %d of %d delivered, %d misattributed; sessions ended in %.0f ms; all delivered %.0f ms after the "
      "first began, %.0f ms after the last ended, %.0f ms from the first 250 to the last; reaped %.0f ms after the "
      "last ended; heap %zu -> %zu bytes (%+lld); RSS %+ld KiB, peak %+ld KiB\n",
      round, result.delivered, kSessions, result.misattributed, result.endSeconds * 1e3, result.allSeconds * 1e3,
      result.drainSeconds * 1e3, result.spreadSeconds * 1e3, result.reapSeconds * 1e3, heapBefore,
      heapBefore + static_cast<std::size_t>(result.heapGrowth), result.heapGrowth, result.rssGrowthKiB,
      result.peakGrowthKiB);
  return result;
}

void BM_Burst(benchmark::State& state) {
  for (auto _ : state) {
    const Burst burst = RunBurst();
    state.SetIterationTime(burst.allSeconds);
    state.counters["delivered"] = burst.delivered;
    state.counters["lost"] = kSessions - burst.delivered;
    state.counters["misattributed"] = burst.misattributed;
    state.counters["ended_ms"] = burst.endSeconds * 1e3;
    state.counters["drain_ms"] = burst.drainSeconds * 1e3;
    state.counters["spread_ms"] = burst.spreadSeconds * 1e3;
    state.counters["peak_growth_KiB"] = static_cast<double>(burst.peakGrowthKiB);
    state.counters["reaped_ms"] = burst.reapSeconds * 1e3;
    state.counters["heap_growth_B"] = static_cast<double>(burst.heapGrowth);
    if (burst.delivered != kSessions || burst.misattributed != 0) state.SkipWithError("mail lost or misattributed");
  }
}

BENCHMARK(BM_Burst)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  bench::Environment env("burst-bench");
  bench::SmtpSink sink(64 * 1024);
  g_sink = &sink;
  if (!sink.IsListening()) {
    std::fprintf(stderr, "cannot listen on loopback\n");
    return 1;
  }
  env.SaveConfig(sink.Port(), 0, 100);

  // One mail first: the worker exists and every text is loaded before anything is measured.
  RunSession(reinterpret_cast<void*>(std::uintptr_t{1}), 0, 0);
  if (!sink.WaitForMessages(1, 30s) || !WaitUntilIdle(30s)) {
    std::fprintf(stderr, "the first mail did not arrive\n");
    return 1;
  }
  sink.TakeMessages();

  bench::MedianReporter reporter;
  bench::RunBenchmarks(argc, argv, {"--benchmark_repetitions=5", "--benchmark_report_aggregates_only=true"}, reporter);
  std::printf(
      "\nmedian of the bursts: %.0f of %d delivered; sessions ended in %.0f ms; all delivered %.0f ms after "
      "the first session began; heap growth %.0f bytes\n",
      reporter.Get("BM_Burst", "delivered"), kSessions, reporter.Get("BM_Burst", "ended_ms"),
      reporter.Get("BM_Burst", "real_time_ms"), reporter.Get("BM_Burst", "heap_growth_B"));
  benchmark::Shutdown();
  return 0;
}
