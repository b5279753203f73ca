// Throughput of TLS through the socket layer under the SMTP client: a payload of 64 or 256 MiB
// sent by a CQBNotifySocket with TLS on (on its own message loop, in pieces of 64 KiB as the
// body pump writes them) to a loopback TLS sink, against a blocking OpenSSL client writing the
// same pieces with the same TLS settings, against curl uploading the same bytes (an HTTPS PUT
// from a file, process start included), and against the socket layer without TLS. Each run is
// one connection, timed from the start of connecting (or of curl) to the sink's last payload
// byte; the handshake is part of it. The sink presents a self-signed certificate for
// "localhost" that the layer accepts by its pinned fingerprint and the others by trusting it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/TlsIdentity.h"
#include "framework/thread.h"
#include "framework/tls.h"
#include "mail/QBNotifySocket.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kMiB = 1 << 20;
constexpr std::size_t kPiece = 64 * 1024;  // what the body pump hands to the socket per write
const int kSizesMiB[] = {64, 256};

using Identity = bench::TlsIdentity;

// A loopback sink: TLS or plain, one thread per connection, that reads everything and notes
// when the expected count has arrived.
class Sink {
 public:
  Sink(const Identity& identity, bool tls) : m_bTls(tls) {
    m_ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(m_ctx, identity.cert);
    SSL_CTX_use_PrivateKey(m_ctx, identity.key);
    m_listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(m_listener, 8);
    getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Accept(); });
  }
  ~Sink() {
    shutdown(m_listener, SHUT_RDWR);
    close(m_listener);
    m_thread.join();
    SSL_CTX_free(m_ctx);
  }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  std::uint16_t Port() const { return m_port; }
  // The next connection's count to wait for; returns a future of the moment it arrived (or
  // the connection ended).
  std::future<Clock::time_point> Expect(std::size_t bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nExpected = bytes;
    m_arrived = std::promise<Clock::time_point>();
    return m_arrived.get_future();
  }
  std::size_t LastCount() const { return m_nLastCount; }

 private:
  void Accept() {
    for (;;) {
      const int fd = accept(m_listener, nullptr, nullptr);
      if (fd < 0) return;
      std::thread([this, fd] { Serve(fd); }).detach();
    }
  }

  void Serve(int fd) {
    std::size_t expected = 0;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      expected = m_nExpected;
    }
    SSL* ssl = nullptr;
    if (m_bTls) {
      ssl = SSL_new(m_ctx);
      SSL_set_fd(ssl, fd);
      if (SSL_accept(ssl) != 1) {
        SSL_free(ssl);
        close(fd);
        Arrived(0);
        return;
      }
    }
    std::vector<char> buffer(kMiB);
    std::size_t total = 0;
    bool reported = false;
    for (;;) {
      const long count = ssl != nullptr ? SSL_read(ssl, buffer.data(), static_cast<int>(buffer.size()))
                                        : static_cast<long>(read(fd, buffer.data(), buffer.size()));
      if (count <= 0) break;
      total += static_cast<std::size_t>(count);
      if (!reported && total >= expected) {
        reported = true;
        Arrived(total);
      }
    }
    if (!reported) Arrived(total);
    if (ssl != nullptr) {
      SSL_shutdown(ssl);
      SSL_free(ssl);
    }
    close(fd);
  }

  void Arrived(std::size_t total) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nLastCount = total;
    m_arrived.set_value(Clock::now());
  }

  bool m_bTls;
  SSL_CTX* m_ctx = nullptr;
  int m_listener = -1;
  std::uint16_t m_port = 0;
  std::mutex m_mutex;
  std::size_t m_nExpected = 0;
  std::atomic<std::size_t> m_nLastCount{0};
  std::promise<Clock::time_point> m_arrived;
  std::thread m_thread;
};

// A message loop thread that runs posted work.
class LoopThread : public fw::CWinThread {
 public:
  static constexpr fw::UINT kRun = fw::kWmUser + 1;
  LoopThread() {
    m_bAutoDelete = false;
    CreateThread();
  }
  ~LoopThread() override {
    PostThreadMessage(fw::kWmQuit, 0, 0);
    GetThreadEnd().Wait();
  }
  void Run(std::function<void()> work) {
    std::promise<void> done;
    auto task = [&] {
      work();
      done.set_value();
    };
    std::function<void()> wrapped = task;
    PostThreadMessage(kRun, 0, reinterpret_cast<fw::LPARAM>(&wrapped));
    done.get_future().wait();
  }
  void OnThreadMessage(fw::UINT message, fw::WPARAM, fw::LPARAM lParam) override {
    if (message == kRun) (*reinterpret_cast<std::function<void()>*>(lParam))();
  }
};

// Writes the payload in pieces whenever the connection takes them.
class PumpSocket : public CQBNotifySocket {
 public:
  PumpSocket(const std::string& payload, const fw::TlsSettings* tls)
      : CQBNotifySocket(nullptr), m_payload(payload), m_pTlsSettings(tls) {}

  void OnConnect(int error) override {
    if (error == 0 && m_pTlsSettings != nullptr) StartTls(*m_pTlsSettings);
  }
  void OnTlsHandshakeDone(fw::TlsFailure failure) override {
    if (failure != fw::TlsFailure::None) {
      std::fprintf(stderr, "handshake: %s (%s)\n", fw::TlsFailureText(failure),
                   GetTlsChannel()->GetFailureDetail().c_str());
    }
    Pump();
  }
  void OnSend(int error) override {
    CQBNotifySocket::OnSend(error);
    Pump();
  }

 private:
  void Pump() {
    if (m_pTlsSettings != nullptr && !IsTlsOn()) return;
    while (IsSendReady() && m_nSent < m_payload.size()) {
      const std::size_t count = std::min(kPiece, m_payload.size() - m_nSent);
      Send(m_payload.data() + m_nSent, static_cast<int>(count));
      m_nSent += count;
    }
  }

  const std::string& m_payload;
  const fw::TlsSettings* m_pTlsSettings;
  std::size_t m_nSent = 0;
};

struct Shared {
  Identity identity;
  std::unique_ptr<Sink> tlsSink, plainSink;
  std::map<int, std::string> payloads;
  std::map<int, std::string> payloadFiles;  // the same bytes for curl
  std::string certificateFile;
  LoopThread loop;
};
Shared* g_shared = nullptr;

// CPU time of the calling thread in seconds.
double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Wall-clock throughput, and the sender's CPU time per MB (which the machine's load does not
// change much).
void Report(benchmark::State& state, std::size_t bytes, double seconds, double cpuSeconds, long growthKiB) {
  state.SetIterationTime(seconds);
  state.counters["MBps"] = static_cast<double>(bytes) / seconds / 1e6;
  state.counters["cpu_us_per_MB"] = cpuSeconds * 1e6 / (static_cast<double>(bytes) / 1e6);
  if (growthKiB >= 0) state.counters["peak_growth_KiB"] = static_cast<double>(growthKiB);
}

// The socket layer, with TLS (`tls`) or without.
void SocketLayer(benchmark::State& state, bool tls) {
  const std::string& payload = g_shared->payloads.at(static_cast<int>(state.range(0)));
  Sink& sink = tls ? *g_shared->tlsSink : *g_shared->plainSink;
  const fw::TlsSettings settings{"localhost", g_shared->identity.fingerprint};
  for (auto _ : state) {
    bench::ResetPeakRss();
    const long before = bench::StatusKiB("VmRSS");
    auto arrived = sink.Expect(payload.size());
    std::unique_ptr<PumpSocket> socket;
    double cpuBefore = 0;
    double cpuAfter = 0;
    const Clock::time_point start = Clock::now();
    g_shared->loop.Run([&] {
      cpuBefore = ThreadCpuSeconds();
      socket = std::make_unique<PumpSocket>(payload, tls ? &settings : nullptr);
      socket->Create();
      socket->ConnectTo("127.0.0.1", sink.Port());
    });
    const Clock::time_point end = arrived.get();
    const long growth = bench::StatusKiB("VmHWM") - before;
    g_shared->loop.Run([&] {
      cpuAfter = ThreadCpuSeconds();
      socket.reset();
    });
    if (sink.LastCount() < payload.size()) state.SkipWithError("the sink did not get everything");
    Report(state, payload.size(), std::chrono::duration<double>(end - start).count(), cpuAfter - cpuBefore, growth);
  }
}

void BM_LayerTls(benchmark::State& state) {
  SocketLayer(state, true);
}
void BM_LayerPlain(benchmark::State& state) {
  SocketLayer(state, false);
}

// A blocking OpenSSL client on a plain socket, as curl sends: the same protocol floor, the
// same certificate checks (trusting the sink's certificate, host name "localhost").
void BM_BlockingOpenSsl(benchmark::State& state) {
  const std::string& payload = g_shared->payloads.at(static_cast<int>(state.range(0)));
  Sink& sink = *g_shared->tlsSink;
  for (auto _ : state) {
    auto arrived = sink.Expect(payload.size());
    const Clock::time_point start = Clock::now();
    const double cpuBefore = ThreadCpuSeconds();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx), g_shared->identity.cert);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(sink.Port());
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    SSL* ssl = SSL_new(ctx);
    SSL_set1_host(ssl, "localhost");
    SSL_set_tlsext_host_name(ssl, "localhost");
    SSL_set_fd(ssl, fd);
    bool ok = SSL_connect(ssl) == 1;
    for (std::size_t sent = 0; ok && sent < payload.size();) {
      const std::size_t count = std::min(kPiece, payload.size() - sent);
      ok = SSL_write(ssl, payload.data() + sent, static_cast<int>(count)) == static_cast<int>(count);
      sent += count;
    }
    const double cpu = ThreadCpuSeconds() - cpuBefore;
    const Clock::time_point end = arrived.get();
    SSL_shutdown(ssl);
    SSL_free(ssl);
    close(fd);
    SSL_CTX_free(ctx);
    if (!ok || sink.LastCount() < payload.size()) state.SkipWithError("the OpenSSL client failed");
    Report(state, payload.size(), std::chrono::duration<double>(end - start).count(), cpu, -1);
  }
}

// curl uploading the payload file over HTTPS with TLS 1.2 or later, trusting the sink's
// certificate; the sink never answers, so curl is ended once the payload has arrived.
void BM_Curl(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  Sink& sink = *g_shared->tlsSink;
  const std::string url = "https://localhost:" + std::to_string(sink.Port()) + "/upload";
  const std::string& file = g_shared->payloadFiles.at(size);
  for (auto _ : state) {
    auto arrived = sink.Expect(g_shared->payloads.at(size).size());
    const char* argv[] = {"curl", "-sS",     "--tlsv1.2", "--http1.1",  "--cacert",  g_shared->certificateFile.c_str(),
                          "-H",   "Expect:", "-T",        file.c_str(), url.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const Clock::time_point start = Clock::now();
    const int spawned = posix_spawnp(&pid, "curl", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      state.SkipWithError("curl does not start");
      return;
    }
    const Clock::time_point end = arrived.get();
    kill(pid, SIGTERM);
    rusage usage{};
    wait4(pid, nullptr, 0, &usage);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (sink.LastCount() < g_shared->payloads.at(size).size()) state.SkipWithError("curl did not send everything");
    Report(state, g_shared->payloads.at(size).size(), std::chrono::duration<double>(end - start).count(), cpu, -1);
  }
}

void RegisterBenchmarks() {
  for (auto* benchmark : {benchmark::RegisterBenchmark("BM_LayerTls", BM_LayerTls),
                          benchmark::RegisterBenchmark("BM_BlockingOpenSsl", BM_BlockingOpenSsl),
                          benchmark::RegisterBenchmark("BM_Curl", BM_Curl),
                          benchmark::RegisterBenchmark("BM_LayerPlain", BM_LayerPlain)}) {
    for (int size : kSizesMiB) benchmark->Arg(size);
    benchmark->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  RegisterBenchmarks();
  Shared shared;
  g_shared = &shared;
  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() / ("qbnotify-tls-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(directory);
  shared.tlsSink = std::make_unique<Sink>(shared.identity, true);
  shared.plainSink = std::make_unique<Sink>(shared.identity, false);
  for (int size : kSizesMiB) {
    std::string line;
    for (int i = 0; i < 61; ++i) line += static_cast<char>('A' + i);
    std::string& payload = shared.payloads[size];
    payload.reserve(static_cast<std::size_t>(size) * kMiB);
    while (payload.size() < static_cast<std::size_t>(size) * kMiB) payload += payload.empty() ? line : payload;
    payload.resize(static_cast<std::size_t>(size) * kMiB);
    shared.payloadFiles[size] = (directory / ("payload-" + std::to_string(size) + ".bin")).string();
    std::ofstream(shared.payloadFiles[size], std::ios::binary) << payload;
  }
  shared.certificateFile = (directory / "sink.pem").string();
  shared.identity.WritePem(shared.certificateFile);

  bench::MedianReporter reporter;
  bench::RunBenchmarks(argc, argv,
                       {"--benchmark_repetitions=7", "--benchmark_report_aggregates_only=true",
                        "--benchmark_enable_random_interleaving=true"},
                       reporter);

  std::printf("\nmedian throughput (MB/s = 10^6 bytes/s of payload, handshake included):\n");
  for (int size : kSizesMiB) {
    const std::string suffix = std::string("/").append(std::to_string(size));
    const double layer = reporter.Get("BM_LayerTls" + suffix, "MBps");
    const double blocking = reporter.Get("BM_BlockingOpenSsl" + suffix, "MBps");
    const double plain = reporter.Get("BM_LayerPlain" + suffix, "MBps");
    const double curl = reporter.Get("BM_Curl" + suffix, "MBps");
    std::printf(
        "  %3d MiB: layer with TLS %.0f; blocking OpenSSL %.0f (ratio %.2f); curl %.0f (ratio %.2f); "
        "layer without TLS %.0f; peak growth with TLS %.0f KiB\n",
        size, layer, blocking, blocking > 0 ? layer / blocking : 0, curl, curl > 0 ? layer / curl : 0, plain,
        reporter.Get("BM_LayerTls" + suffix, "peak_growth_KiB"));
  }
  std::printf("\nmedian sender CPU (microseconds per MB):\n");
  for (int size : kSizesMiB) {
    const std::string suffix = std::string("/").append(std::to_string(size));
    std::printf(
        "  %3d MiB: layer with TLS %.0f; blocking OpenSSL %.0f; curl (whole process) %.0f; layer without "
        "TLS %.0f\n",
        size, reporter.Get("BM_LayerTls" + suffix, "cpu_us_per_MB"),
        reporter.Get("BM_BlockingOpenSsl" + suffix, "cpu_us_per_MB"), reporter.Get("BM_Curl" + suffix, "cpu_us_per_MB"),
        reporter.Get("BM_LayerPlain" + suffix, "cpu_us_per_MB"));
  }
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  return 0;
}
