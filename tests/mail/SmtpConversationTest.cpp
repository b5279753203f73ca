// SMTP conversations replayed from the case files in tests/data/smtp: a scripted server plays
// the server's part and checks every line the client sends and the message bytes; the job
// runs on a loop thread of its own and the test checks its states, its outcome, its expiry by
// an injected tick count, and that its journal files are gone after it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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
  int logCount = -1;  // default: the number of log lines written
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

ConversationCase ParseCase(const std::filesystem::path& path) {
  ConversationCase c;
  c.name = path.stem().string();
  std::ifstream in(path, std::ios::binary);
  std::string line;
  ServerStep* data = nullptr;  // the message being collected from consecutive "D:" lines
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::size_t colon = line.find(':');
    const std::string key = colon == std::string::npos ? line : line.substr(0, colon);
    std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
    if (!value.empty() && value[0] == ' ') value.erase(0, 1);
    value = Unescape(value);

    if (key != "D") data = nullptr;
    if (key == "to") c.to = value;
    else if (key == "from") c.from = value;
    else if (key == "subject") c.subject = value;
    else if (key == "server") c.server = value;
    else if (key == "loglines") c.logLines = std::stoi(value);
    else if (key == "logcount") c.logCount = std::stoi(value);
    else if (key == "rcvbuf") c.receiveBuffer = std::stoi(value);
    else if (key == "info") c.info += value + "\r\n";
    else if (key == "info-raw") c.info += value;
    else if (key == "info-bulk") {
      for (int i = 0, n = std::stoi(value); i < n; ++i) {
        c.info += "Bulk line " + std::to_string(i) + ": " + std::string(100, static_cast<char>('a' + i % 26)) + "\r\n";
      }
    } else if (key == "log") {
      c.log += value + "\r\n";
      ++c.logLinesWritten;
    } else if (key == "noinfo") c.noInfo = true;
    else if (key == "nolog") c.noLog = true;
    else if (key == "connection") c.expectConnection = value == "yes";
    else if (key == "S") c.steps.push_back(ServerStep::Make(ServerStep::Kind::Say, value + "\r\n"));
    else if (key == "S+") c.steps.push_back(ServerStep::Make(ServerStep::Kind::Say, value));
    else if (key == "say-bulk") c.steps.push_back(ServerStep::Make(ServerStep::Kind::Say, std::string(std::stoul(value), 'A')));
    else if (key == "split") c.steps.push_back(ServerStep::Make(ServerStep::Kind::Split));
    else if (key == "C") c.steps.push_back(ServerStep::Make(ServerStep::Kind::ExpectLine, value));
    else if (key == "read") c.steps.push_back(ServerStep::Make(ServerStep::Kind::ReadBytes, "", std::stoll(value)));
    else if (key == "pause") c.steps.push_back(ServerStep::Make(ServerStep::Kind::Pause, "", std::stoll(value)));
    else if (key == "close") c.steps.push_back(ServerStep::Make(ServerStep::Kind::Close));
    else if (key == "reset") c.steps.push_back(ServerStep::Make(ServerStep::Kind::Reset));
    else if (key == "D") {
      if (data == nullptr) {
        c.steps.push_back(ServerStep::Make(ServerStep::Kind::ExpectData));
        data = &c.steps.back();
      }
      if (value == "{info}") {
        for (const std::string& infoLine : SplitCrLf(c.info)) data->lines.push_back(infoLine);
      } else {
        data->lines.push_back(value);
      }
    } else if (key == "start" || key == "state" || key == "delivered" || key == "expired" || key == "advance" ||
               key == "trace") {
      c.runner.push_back({key, value});
    } else {
      ADD_FAILURE() << path << ": unknown line \"" << line << "\"";
    }
  }
  if (c.logCount < 0) c.logCount = c.logLinesWritten;
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
  auto client = std::make_unique<CNotifySmtpClient>(nullptr, &config, infoFile.c_str(), logFile.c_str(), c.logCount);
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

}  // namespace
