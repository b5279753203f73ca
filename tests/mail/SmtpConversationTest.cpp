// SMTP conversations replayed from the case files in tests/data/smtp: a scripted server plays
// the server's part and checks every line the client sends and the message bytes; the job
// runs on a loop thread of its own and the test checks its states, its outcome, its expiry by
// an injected tick count, and that its journal files are gone after it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

#include "MailTestSupport.h"
#include "ScriptedSmtpServer.h"
#include "framework/test_seams.h"
#include "mail/NotifySmtpClient.h"
#include "settings/NotifyConfig.h"

namespace {

using mailtest::LoopThread;

struct RunnerStep {
  std::string key;
  std::string value;
};

struct ConversationCase {
  std::string name;
  std::string to = "rcpt@example.org";
  std::string from = "notify@example.org";
  std::string subject;
  std::string server = "127.0.0.1";
  int logLines = 0;
  int receiveBuffer = 0;
  std::string info;
  std::string log;
  int logLinesWritten = 0;
  bool noInfo = false;
  bool noLog = false;
  bool expectConnection = true;
  std::vector<ServerStep> steps;
  std::vector<RunnerStep> runner;
};

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    switch (c) {
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 's':
        out += ' ';
        break;
      case 'x':
        out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 2;
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

using LineHandler = std::function<void(ConversationCase&, const std::string&)>;

ServerStep Step(ServerStep::Kind kind, std::string text = {}, long long number = 0) {
  return ServerStep::Make(kind, std::move(text), number);
}

// What each key of a case file does (the format is described in tests/data/smtp/README.md).
const std::map<std::string, LineHandler>& LineHandlers() {
  using K = ServerStep::Kind;
  using C = ConversationCase;
  using V = const std::string&;
  static const std::map<std::string, LineHandler> handlers = {
      {"to", [](C& c, V v) { c.to = v; }},
      {"from", [](C& c, V v) { c.from = v; }},
      {"subject", [](C& c, V v) { c.subject = v; }},
      {"server", [](C& c, V v) { c.server = v; }},
      {"loglines", [](C& c, V v) { c.logLines = std::stoi(v); }},
      {"rcvbuf", [](C& c, V v) { c.receiveBuffer = std::stoi(v); }},
      {"info", [](C& c, V v) { c.info += v + "\r\n"; }},
      {"info-raw", [](C& c, V v) { c.info += v; }},
      {"info-bulk",
       [](C& c, V v) {
         for (int i = 0, n = std::stoi(v); i < n; ++i) {
           c.info +=
               "Bulk line " + std::to_string(i) + ": " + std::string(100, static_cast<char>('a' + i % 26)) + "\r\n";
         }
       }},
      {"log",
       [](C& c, V v) {
         c.log += v + "\r\n";
         ++c.logLinesWritten;
       }},
      {"noinfo", [](C& c, V) { c.noInfo = true; }},
      {"nolog", [](C& c, V) { c.noLog = true; }},
      {"connection", [](C& c, V v) { c.expectConnection = v == "yes"; }},
      {"S", [](C& c, V v) { c.steps.push_back(Step(K::Say, v + "\r\n")); }},
      {"S+", [](C& c, V v) { c.steps.push_back(Step(K::Say, v)); }},
      {"say-bulk", [](C& c, V v) { c.steps.push_back(Step(K::Say, std::string(std::stoul(v), 'A'))); }},
      {"split", [](C& c, V) { c.steps.push_back(Step(K::Split)); }},
      {"C", [](C& c, V v) { c.steps.push_back(Step(K::ExpectLine, v)); }},
      {"read", [](C& c, V v) { c.steps.push_back(Step(K::ReadBytes, "", std::stoll(v))); }},
      {"pause", [](C& c, V v) { c.steps.push_back(Step(K::Pause, "", std::stoll(v))); }},
      {"close", [](C& c, V) { c.steps.push_back(Step(K::Close)); }},
      {"reset", [](C& c, V) { c.steps.push_back(Step(K::Reset)); }},
  };
  return handlers;
}

bool IsRunnerKey(const std::string& key) {
  return key == "start" || key == "state" || key == "delivered" || key == "expired" || key == "advance" ||
         key == "trace";
}

ConversationCase ParseCase(const std::filesystem::path& path) {
  ConversationCase c;
  c.name = path.stem().string();
  std::ifstream in(path, std::ios::binary);
  std::string line;
  bool inMessage = false;  // consecutive "D:" lines form one expected message
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::size_t colon = line.find(':');
    const std::string key = colon == std::string::npos ? line : line.substr(0, colon);
    std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
    if (!value.empty() && value[0] == ' ') value.erase(0, 1);
    value = Unescape(value);

    if (key == "D") {
      if (!inMessage) c.steps.push_back(Step(ServerStep::Kind::ExpectData));
      inMessage = true;
      std::vector<std::string>& lines = c.steps.back().lines;
      if (value == "{info}") {
        for (const std::string& infoLine : SplitCrLf(c.info)) lines.push_back(infoLine);
      } else {
        lines.push_back(value);
      }
      continue;
    }
    inMessage = false;
    if (IsRunnerKey(key)) {
      c.runner.push_back({key, value});
    } else if (const auto handler = LineHandlers().find(key); handler != LineHandlers().end()) {
      handler->second(c, value);
    } else {
      ADD_FAILURE() << path << ": unknown line \"" << line << "\"";
    }
  }
  return c;
}

std::vector<std::filesystem::path> CaseFiles() {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(QB_SMTP_CASES_DIR, error)) {
    if (entry.path().extension() == ".smtp") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

SmtpState StateNamed(const std::string& name) {
  for (int i = 0; i <= static_cast<int>(SmtpState::Closed); ++i) {
    if (name == SmtpStateName(static_cast<SmtpState>(i))) return static_cast<SmtpState>(i);
  }
  ADD_FAILURE() << "no state named " << name;
  return SmtpState::Idle;
}

class SmtpConversation : public ::testing::TestWithParam<std::filesystem::path> {
 protected:
  void TearDown() override { fw::testing::SetTimeSource(nullptr); }
};

TEST_P(SmtpConversation, Plays) {
  const ConversationCase c = ParseCase(GetParam());
  mailtest::TempDir dir;
  const std::string infoFile = dir.File("Information_1_1000.txt");
  const std::string logFile = dir.File("Log_1_1000.txt");
  if (!c.noInfo) mailtest::WriteFile(infoFile, c.info);
  if (!c.noLog) mailtest::WriteFile(logFile, c.log);

  mailtest::ManualTickCount ticks(1000);
  fw::testing::SetTimeSource([] { return std::int64_t{1700000000}; });

  std::unique_ptr<ScriptedSmtpServer> server;
  CNotifyConfig config;
  config.m_strSmtpServer = c.server;
  if (c.server == "refused") {
    config.m_strSmtpServer = "127.0.0.1";
    config.m_nSmtpPort = ScriptedSmtpServer::UnusedPort();
  } else {
    server = std::make_unique<ScriptedSmtpServer>(c.steps, c.receiveBuffer);
    config.m_nSmtpPort = server->Port();
  }
  config.m_strDeliverTo = c.to;
  config.m_strFromEmail = c.from;
  config.m_strSubject = c.subject;
  config.m_nLogLines = c.logLines;

  LoopThread loop;
  mailtest::StateRecorder states;
  auto client =
      std::make_unique<CNotifySmtpClient>(nullptr, &config, infoFile.c_str(), logFile.c_str(), c.logLinesWritten);
  client->SetStateObserver(states.Observer());
  const bool started = loop.Run([&] { return client->Start(); });

  for (const RunnerStep& step : c.runner) {
    SCOPED_TRACE(step.key + ": " + step.value);
    if (step.key == "start") {
      EXPECT_EQ(started, step.value == "true");
    } else if (step.key == "state") {
      EXPECT_TRUE(states.WaitFor(StateNamed(step.value))) << "trace: " << states.Trace();
    } else if (step.key == "delivered") {
      EXPECT_EQ(loop.Run([&] { return client->IsFinished(); }), step.value == "yes");
    } else if (step.key == "expired") {
      EXPECT_EQ(loop.Run([&] { return client->IsExpired(); }), step.value == "yes");
    } else if (step.key == "advance") {
      ticks.Advance(static_cast<std::uint32_t>(std::stoul(step.value)));
    } else if (step.key == "trace") {
      EXPECT_EQ(states.Trace(), step.value);
    }
  }

  loop.Run([&] { client.reset(); });
  if (server) {
    if (!c.expectConnection) server->Stop();
    EXPECT_TRUE(server->Wait(std::chrono::seconds(20))) << "the server's script did not end";
    server->Stop();
    EXPECT_EQ(server->Accepted(), c.expectConnection);
    for (const std::string& failure : server->Failures()) ADD_FAILURE() << failure;
  }
  EXPECT_FALSE(mailtest::FileExists(infoFile));
  EXPECT_FALSE(mailtest::FileExists(logFile));
}

INSTANTIATE_TEST_SUITE_P(Cases, SmtpConversation, ::testing::ValuesIn(CaseFiles()),
                         [](const ::testing::TestParamInfo<std::filesystem::path>& param) {
                           std::string name = param.param.stem().string();
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

// The job's handling of a lookup result, handed over directly.
class SmtpLookupResult : public ::testing::Test {
 protected:
  // Runs OnHostResolved on a created socket; returns the state the job is in afterwards.
  SmtpState Resolve(int error, const fw::HostEnt* host, std::uint16_t port = 25) {
    CNotifyConfig config;
    config.m_strSmtpServer = "mail.example.org";
    config.m_nSmtpPort = port;
    config.m_strDeliverTo = "rcpt@example.org";
    config.m_strFromEmail = "notify@example.org";
    auto client =
        std::make_unique<CNotifySmtpClient>(nullptr, &config, m_dir.File("i").c_str(), m_dir.File("l").c_str(), 0);
    return m_loop.Run([&] {
      EXPECT_TRUE(client->Create(0, fw::CAsyncSocket::kSockStream, fw::CAsyncSocket::kFdAll));
      client->OnHostResolved(error, host, 0);
      const SmtpState state = client->GetState();
      if (state == SmtpState::AwaitGreeting)
        m_accepted = m_server && mailtest::WaitUntil([&] { return m_server->Accepted(); });
      client.reset();
      return state;
    });
  }

  mailtest::TempDir m_dir;
  LoopThread m_loop;
  ScriptedSmtpServer* m_server = nullptr;
  bool m_accepted = false;
};

TEST_F(SmtpLookupResult, ConnectsToTheFirstAddressReadAsUnsignedBytes) {
  ScriptedSmtpServer server({}, 0, "127.128.0.1");
  m_server = &server;
  unsigned char address[4] = {127, 128, 0, 1};
  unsigned char second[4] = {127, 0, 0, 1};
  char* list[] = {reinterpret_cast<char*>(address), reinterpret_cast<char*>(second), nullptr};
  const fw::HostEnt host{nullptr, nullptr, fw::kAfInet, 4, list};
  EXPECT_EQ(Resolve(0, &host, server.Port()), SmtpState::AwaitGreeting);
  EXPECT_TRUE(m_accepted);
}

TEST_F(SmtpLookupResult, FailedLookupOrOneWithoutAnIpv4AddressClosesTheJob) {
  unsigned char address[16] = {127, 0, 0, 1};
  unsigned char broadcast[4] = {255, 255, 255, 255};
  char* list[] = {reinterpret_cast<char*>(address), nullptr};
  char* broadcastList[] = {reinterpret_cast<char*>(broadcast), nullptr};
  char* emptyList[] = {nullptr};
  const fw::HostEnt ipv4{nullptr, nullptr, fw::kAfInet, 4, list};
  const fw::HostEnt ipv6{nullptr, nullptr, 23, 16, list};
  const fw::HostEnt none{nullptr, nullptr, fw::kAfInet, 4, emptyList};
  const fw::HostEnt allOnes{nullptr, nullptr, fw::kAfInet, 4, broadcastList};
  EXPECT_EQ(Resolve(fw::kWsaHostNotFound, &ipv4), SmtpState::Closed);
  EXPECT_EQ(Resolve(0, &ipv6), SmtpState::Closed);
  EXPECT_EQ(Resolve(0, &none), SmtpState::Closed);
  EXPECT_EQ(Resolve(0, &allOnes), SmtpState::Closed);
  EXPECT_EQ(Resolve(0, nullptr), SmtpState::Closed);
}

}  // namespace
