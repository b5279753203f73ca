// Throughput of one large delivery: an Information file of 64 or 256 MiB and a Log file of
// 1,000,000 lines ("Log Lines" 1000) sent by a mail job on the real delivery worker to a
// loopback SMTP sink, against curl sending the same message to the same sink; in plain SMTP,
// and inside TLS after STARTTLS (the sink's self-signed certificate trusted through
// SSL_CERT_FILE by the add-on and through --cacert by curl, which is told --ssl-reqd). The
// add-on's time runs from the job's start to the sink's 250 after the marker; curl's is the
// whole command. After the runs it prints the ratios and the process's peak memory growth
// during one delivery of each size.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "addon/exports.h"
#include "bench/BenchSupport.h"
#include "bench/SmtpSink.h"
#include "bench/TlsIdentity.h"
#include "mail/NotifyMailThread.h"
#include "mail/NotifySmtpClient.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint64_t kLogFileLines = 1000000;
constexpr int kLogLinesSetting = 1000;
// Sizes of the Information file in MiB; "--sizes=8,32" picks others (e.g. for a profiler).
std::vector<int> g_sizesMiB = {64, 256};

struct Inputs {
  std::string infoMaster;  // never handed to a job: each delivery gets a fresh link to it
  std::uint64_t infoBytes = 0;
  std::string curlMessage;  // the message as curl reads it (not dot-stuffed, no marker)
};

struct Delivery {
  bool ok = false;
  double seconds = 0;           // job start to 250, or the whole curl command
  double connectedSeconds = 0;  // the sink's accept to its 250
  std::uint64_t bytes = 0;      // DATA bytes on the wire, marker included
  long childMaxRssKiB = 0;      // curl only
};

// Where a delivery goes: a sink, and how the connection is secured.
struct Route {
  bench::SmtpSink* sink = nullptr;
  bool bStartTls = false;
};

bench::Environment* g_env = nullptr;
Route g_plain, g_tls;
std::string g_certificateFile;  // the TLS sink's certificate, trusted by both clients
std::string g_logMaster;
std::map<int, Inputs> g_inputs;
int g_nLink = 0;

std::string FreshLink(const std::string& master, const char* kind) {
  const std::string path = g_env->File(std::string(kind) + "_" + std::to_string(++g_nLink) + ".txt");
  if (link(master.c_str(), path.c_str()) != 0) return std::string();
  return path;
}

CNotifyMailThread* Worker() {
  CNotifyAddOnApp& app = g_env->App();
  // One that keeps running: the application's own workers end when out of work, and the
  // benchmark hands its jobs to the worker directly. QBAddOnCanUnload ends it when idle.
  if (!app.m_pMailThread) app.m_pMailThread = new CNotifyMailThread(CNotifyMailThread::IdlePolicy::kKeepRunning);
  return app.m_pMailThread;
}

bool WaitUntilIdle() {
  const auto deadline = Clock::now() + 30s;
  while (QBAddOnCanUnload() != 1) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// One job on the worker, built as AddMail builds it; its start is taken from its first change
// of state, which happens inside Start.
Delivery DeliverWithAddOn(const Route& route, const Inputs& inputs, const std::string& capturePath = std::string()) {
  Delivery result;
  bench::SmtpSink* const sink = route.sink;
  CNotifyMailThread* worker = Worker();
  const std::string info = FreshLink(inputs.infoMaster, "Information");
  const std::string log = FreshLink(g_logMaster, "Log");
  if (!worker || info.empty() || log.empty()) return result;

  CNotifyConfig config = bench::Environment::Config(sink->Port(), kLogLinesSetting);
  if (route.bStartTls) config.m_nSmtpSecurity = CNotifyConfig::kSecurityStartTls;
  auto job =
      std::make_unique<CNotifySmtpClient>(worker, &config, info.c_str(), log.c_str(), static_cast<int>(kLogFileLines));
  auto started = std::make_shared<std::atomic<Clock::rep>>(0);
  job->SetStateObserver([started](SmtpState from, SmtpState) {
    if (from == SmtpState::Idle) started->store(Clock::now().time_since_epoch().count());
  });
  if (!capturePath.empty()) sink->CaptureNextMessage(capturePath);
  const std::size_t before = sink->MessageCount();
  worker->AddJob(std::move(job));
  if (!sink->WaitForMessages(before + 1, 10min)) return result;
  const bench::SmtpSink::Message message = sink->TakeMessages().back();
  const Clock::time_point start{Clock::duration(started->load())};
  result.seconds = std::chrono::duration<double>(message.accepted - start).count();
  result.connectedSeconds = std::chrono::duration<double>(message.accepted - message.connected).count();
  result.bytes = message.dataBytes;
  result.ok = true;
  return result;
}

Delivery DeliverWithCurl(const Route& route, const Inputs& inputs) {
  Delivery result;
  bench::SmtpSink* const sink = route.sink;
  const std::string url = "smtp://127.0.0.1:" + std::to_string(sink->Port());
  std::vector<const char*> argv = {"curl",        "-s",
                                   "-S",          url.c_str(),
                                   "--mail-from", "notify@example.org",
                                   "--mail-rcpt", "ops@example.org",
                                   "-T",          inputs.curlMessage.c_str()};
  if (route.bStartTls) argv.insert(argv.end(), {"--ssl-reqd", "--tlsv1.2", "--cacert", g_certificateFile.c_str()});
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const std::size_t before = sink->MessageCount();
  const Clock::time_point start = Clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, "curl", &actions, nullptr, const_cast<char* const*>(argv.data()), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return result;
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const Clock::time_point end = Clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !sink->WaitForMessages(before + 1, 10s)) return result;
  const bench::SmtpSink::Message message = sink->TakeMessages().back();
  result.seconds = std::chrono::duration<double>(end - start).count();
  result.connectedSeconds = std::chrono::duration<double>(message.accepted - message.connected).count();
  result.bytes = message.dataBytes;
  result.childMaxRssKiB = usage.ru_maxrss;
  result.ok = true;
  return result;
}

// The message as a client reads it before dot-stuffing: the captured DATA without the final
// ".\r\n" (its CR LF ends the last line) and with the stuffed dot of each line taken out.
bool UnstuffCapture(const std::string& rawPath, const std::string& outPath) {
  std::FILE* in = std::fopen(rawPath.c_str(), "rb");
  std::FILE* out = std::fopen(outPath.c_str(), "wb");
  bool ok = in && out;
  if (ok) {
    std::fseek(in, 0, SEEK_END);
    const long total = std::ftell(in);
    std::fseek(in, 0, SEEK_SET);
    long remaining = total - 3;
    ok = remaining >= 0;
    std::vector<char> block(1 << 20);
    std::vector<char> kept;
    bool lineStart = true;
    while (ok && remaining > 0) {
      const std::size_t count = std::fread(block.data(), 1, std::min<long>(remaining, block.size()), in);
      if (count == 0) break;
      remaining -= static_cast<long>(count);
      kept.clear();
      for (std::size_t i = 0; i < count; ++i) {
        const char c = block[i];
        if (!(lineStart && c == '.')) kept.push_back(c);
        lineStart = c == '\n';
      }
      ok = std::fwrite(kept.data(), 1, kept.size(), out) == kept.size();
    }
  }
  if (in) std::fclose(in);
  if (out && std::fclose(out) != 0) ok = false;
  std::remove(rawPath.c_str());
  return ok;
}

void Report(benchmark::State& state, const Delivery& delivery) {
  if (!delivery.ok) {
    state.SkipWithError("delivery failed");
    return;
  }
  state.SetIterationTime(delivery.seconds);
  state.counters["MBps"] = static_cast<double>(delivery.bytes) / delivery.seconds / 1e6;
  state.counters["MBps_connected"] = static_cast<double>(delivery.bytes) / delivery.connectedSeconds / 1e6;
  state.counters["wire_MiB"] = static_cast<double>(delivery.bytes) / kMiB;
}

template <bool bTls>
void BM_AddOn(benchmark::State& state) {
  const Inputs& inputs = g_inputs[static_cast<int>(state.range(0))];
  for (auto _ : state) {
    state.PauseTiming();
    WaitUntilIdle();  // the last job is reaped: one transfer at a time
    state.ResumeTiming();
    Report(state, DeliverWithAddOn(bTls ? g_tls : g_plain, inputs));
  }
}

template <bool bTls>
void BM_Curl(benchmark::State& state) {
  const Inputs& inputs = g_inputs[static_cast<int>(state.range(0))];
  for (auto _ : state) {
    state.PauseTiming();
    WaitUntilIdle();
    state.ResumeTiming();
    Report(state, DeliverWithCurl(bTls ? g_tls : g_plain, inputs));
  }
}

void RegisterBenchmarks() {
  const std::pair<const char*, void (*)(benchmark::State&)> benchmarks[] = {{"BM_AddOn", BM_AddOn<false>},
                                                                            {"BM_Curl", BM_Curl<false>},
                                                                            {"BM_AddOnStartTls", BM_AddOn<true>},
                                                                            {"BM_CurlStartTls", BM_Curl<true>}};
  for (int size : g_sizesMiB) {
    for (const auto& [name, function] : benchmarks) {
      benchmark::RegisterBenchmark(name, function)
          ->Arg(size)
          ->Iterations(1)
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
    }
  }
}

// Takes "--sizes=a,b" out of the arguments.
void ParseSizes(int& argc, char** argv) {
  const std::string flag = "--sizes=";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], flag.c_str(), flag.size()) != 0) continue;
    g_sizesMiB.clear();
    for (const char* p = argv[i] + flag.size(); *p != '\0';) {
      char* end = nullptr;
      const long size = std::strtol(p, &end, 10);
      if (end == p) break;
      if (size > 0) g_sizesMiB.push_back(static_cast<int>(size));
      p = *end == ',' ? end + 1 : end;
    }
    std::copy(argv + i + 1, argv + argc, argv + i);
    --argc;
    --i;
  }
}

// Builds the input files and, with one delivery of each size, the message that curl sends.
bool Prepare() {
  const bench::JournalSample sample = bench::MakeJournalSample(*g_env, 4000);
  if (sample.infoLines.empty() || sample.logLines.empty()) return false;
  g_logMaster = g_env->File("log-master.txt");
  if (bench::WriteRepeated(g_logMaster, sample.logLines, ~std::uint64_t{0}, kLogFileLines) == 0) return false;
  for (int size : g_sizesMiB) {
    Inputs& inputs = g_inputs[size];
    inputs.infoMaster = g_env->File("information-master-" + std::to_string(size) + ".txt");
    inputs.infoBytes = bench::WriteRepeated(inputs.infoMaster, sample.infoLines, size * kMiB, ~std::uint64_t{0});
    inputs.curlMessage = g_env->File("message-" + std::to_string(size) + ".eml");
    const std::string raw = g_env->File("captured.raw");
    // The first delivery of a size runs on a cold worker (for the first size, one it creates).
    const bool peakReset = bench::ResetPeakRss();
    const long rssBefore = bench::StatusKiB("VmRSS");
    const Delivery first = DeliverWithAddOn(g_plain, inputs, raw);
    const long coldGrowth = peakReset ? bench::StatusKiB("VmHWM") - rssBefore : -1;
    if (!first.ok || !UnstuffCapture(raw, inputs.curlMessage)) return false;
    const Delivery replay = DeliverWithCurl(g_plain, inputs);
    const Delivery tlsFirst = DeliverWithAddOn(g_tls, inputs);
    WaitUntilIdle();
    const Delivery tlsReplay = DeliverWithCurl(g_tls, inputs);
    if (!replay.ok || !tlsFirst.ok || !tlsReplay.ok) return false;
    std::printf(
        "%d MiB: Information file %llu bytes, Log file %llu lines; DATA on the wire: add-on %llu bytes, curl %llu "
        "bytes; peak memory growth during the first delivery %ld KiB\n",
        size, static_cast<unsigned long long>(inputs.infoBytes), static_cast<unsigned long long>(kLogFileLines),
        static_cast<unsigned long long>(first.bytes), static_cast<unsigned long long>(replay.bytes), coldGrowth);
    WaitUntilIdle();
  }
  return true;
}

// Peak resident size during one delivery of each size, over the resident size before it.
void ReportMemory() {
  std::printf("\npeak memory growth during one delivery (VmHWM - VmRSS before; KiB):\n");
  for (int round = 0; round < 2; ++round) {
    for (int size : g_sizesMiB) {
      WaitUntilIdle();
      if (!bench::ResetPeakRss()) {
        std::printf("  cannot reset VmHWM here: no figure\n");
        return;
      }
      const long before = bench::StatusKiB("VmRSS");
      const Delivery delivery = DeliverWithAddOn(g_plain, g_inputs[size]);
      const long peak = bench::StatusKiB("VmHWM");
      const Delivery curl = DeliverWithCurl(g_plain, g_inputs[size]);
      std::printf("  %3d MiB: add-on %s, RSS %ld KiB before, growth %ld KiB; curl process peak %ld KiB\n", size,
                  delivery.ok ? "delivered" : "FAILED", before, peak - before, curl.childMaxRssKiB);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  ParseSizes(argc, argv);
  RegisterBenchmarks();
  bench::Environment env("delivery-bench");
  g_env = &env;
  bench::SmtpSink sink;
  const bench::TlsIdentity identity;
  bench::SmtpSink tlsSink(0, &identity);
  g_plain = Route{&sink, false};
  g_tls = Route{&tlsSink, true};
  g_certificateFile = env.File("sink.pem");
  // The add-on's trust store: read when its first TLS channel is made.
  if (!identity.WritePem(g_certificateFile) || setenv("SSL_CERT_FILE", g_certificateFile.c_str(), 1) != 0) {
    std::fprintf(stderr, "cannot write the sink's certificate\n");
    return 1;
  }
  if (!sink.IsListening() || !tlsSink.IsListening()) {
    std::fprintf(stderr, "cannot listen on loopback\n");
    return 1;
  }
  if (!Prepare()) {
    std::fprintf(stderr, "preparing the inputs failed\n");
    return 1;
  }

  bench::MedianReporter reporter;
  bench::RunBenchmarks(argc, argv,
                       {"--benchmark_repetitions=7", "--benchmark_report_aggregates_only=true",
                        "--benchmark_enable_random_interleaving=true"},
                       reporter);

  std::printf("\nmedian throughput (MB/s = 10^6 bytes/s of DATA on the wire):\n");
  for (const char* variant : {"", "StartTls"}) {
    for (int size : g_sizesMiB) {
      const std::string addOnName = std::string("BM_AddOn").append(variant).append("/").append(std::to_string(size));
      const std::string curlName = std::string("BM_Curl").append(variant).append("/").append(std::to_string(size));
      const double addOn = reporter.Get(addOnName, "MBps");
      const double curl = reporter.Get(curlName, "MBps");
      const double addOnConnected = reporter.Get(addOnName, "MBps_connected");
      const double curlConnected = reporter.Get(curlName, "MBps_connected");
      std::printf(
          "  %-8s %3d MiB: add-on %.0f, curl %.0f, ratio %.2f (target 0.8); connection to 250 only: %.0f vs %.0f, "
          "ratio %.2f\n",
          *variant ? "STARTTLS" : "plain", size, addOn, curl, curl > 0 ? addOn / curl : 0, addOnConnected,
          curlConnected, curlConnected > 0 ? addOnConnected / curlConnected : 0);
    }
  }
  ReportMemory();
  benchmark::Shutdown();
  return 0;
}
