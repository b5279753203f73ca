// SMTP conversations replayed from the case files in tests/data/smtp: the scripted server
// plays the server's part (in plain or, through the TLS relay, with TLS) and checks every line
// and the message the client sends; the job runs on a loop thread and the runner checks its
// states, its outcome and failure, the failure record it leaves, the German diagnosis of its
// steps, its expiry by an injected tick count, and that its journal files are gone after it.
// Then the job's handling of a host lookup's result.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "framework/codepage.h"
#include "mail/SmtpDiagnosis.h"
#include "mail_test_support.h"
#include "tests/tls/tls_servers.h"

namespace mailtest {
namespace {

struct ConversationCase {
  CNotifyConfig config = MailConfig("127.0.0.1", 0);
  int receiveBuffer = 0;
  std::string info, log;
  int logLinesWritten = 0;
  bool noInfo = false, noLog = false, expectConnection = true, exactDiagnosis = false;
  Script server, runner;
  std::vector<std::string> diagnosis;  // expected lines, UTF-8
};

// "{fingerprint.NAME}" in a value stands for that certificate's fingerprint.
std::string WithFingerprints(std::string value) {
  const std::string mark = "{fingerprint.";
  for (std::size_t at; (at = value.find(mark)) != std::string::npos;) {
    const std::size_t end = value.find('}', at);
    value.replace(at, end - at + 1, tlstest::ServerValue(value.substr(at + 1, end - at - 1)));
  }
  return value;
}

// "{port}" stands for the server's port.
std::string WithPort(std::string value, int port) {
  if (const std::size_t at = value.find("{port}"); at != std::string::npos) value.replace(at, 6, std::to_string(port));
  return value;
}

int SecurityValue(const std::string& name) {
  return name == "starttls" ? CNotifyConfig::kSecurityStartTls
         : name == "tls"    ? CNotifyConfig::kSecurityTls
                            : CNotifyConfig::kSecurityNone;
}

// Whether `line` is `pattern`, in which "{*}" stands for any text.
bool Matches(const std::string& pattern, const std::string& line) {
  const std::size_t star = pattern.find("{*}");
  if (star == std::string::npos) return pattern == line;
  if (line.compare(0, star, pattern, 0, star) != 0) return false;
  const std::string rest = pattern.substr(star + 3);
  for (std::size_t at = star; at <= line.size(); ++at) {
    if (Matches(rest, line.substr(at))) return true;
  }
  return false;
}

// Whether the `expected` lines occur in `actual` in order; all of them and nothing else when
// `exact`.
bool LinesMatch(const std::vector<std::string>& expected, const std::vector<std::string>& actual, bool exact) {
  if (exact && expected.size() != actual.size()) return false;
  std::size_t next = 0;
  for (const std::string& line : actual) {
    if (next < expected.size() && Matches(expected[next], line)) {
      ++next;
    } else if (exact) {
      return false;
    }
  }
  return next == expected.size();
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t at = text[i] == '\\' ? std::string("rnts\\").find(text[i + 1]) : std::string::npos;
    out += at == std::string::npos ? text[i] : "\r\n\t \\"[at];
    i += at != std::string::npos;
  }
  return out;
}

// "Step: reason (error) [TLS reason]: reply" (error, TLS reason and reply when there are), or
// "none".
std::string Describe(const SmtpFailure& failure) {
  if (!failure.HasFailed()) return "none";
  return std::string(SmtpStateName(failure.step)) + ": " + SmtpFailureText(failure.reason) +
         (failure.error ? " (" + std::to_string(failure.error) + ")" : "") +
         (failure.tls != fw::TlsFailure::None ? std::string(" [") + fw::TlsFailureText(failure.tls) + "]" : "") +
         (failure.reply.empty() ? "" : ": " + failure.reply);
}

// The case-file keys that set a text of the settings.
const std::map<std::string, std::string CNotifyConfig::*> kTextFields = {
    {"to", &CNotifyConfig::m_strDeliverTo},    {"from", &CNotifyConfig::m_strFromEmail},
    {"subject", &CNotifyConfig::m_strSubject}, {"server", &CNotifyConfig::m_strSmtpServer},
    {"user", &CNotifyConfig::m_strSmtpUser},   {"password", &CNotifyConfig::m_strSmtpPassword},
    {"profile", &CNotifyConfig::m_strProfile}};

ConversationCase ParseCase(const std::filesystem::path& path) {
  ConversationCase c;
  std::ifstream in(path, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::size_t colon = std::min(line.find(':'), line.size());
    const std::string key = line.substr(0, colon);
    std::string value = line.substr(std::min(colon + 1, line.size()));
    value = Unescape(value.substr(value.rfind(' ', 0) == 0 ? 1 : 0));
    if (const auto field = kTextFields.find(key); field != kTextFields.end()) {
      c.config.*(field->second) = value;
    } else if (key == "security") {
      c.config.m_nSmtpSecurity = SecurityValue(value);
    } else if (key == "certificate") {
      c.config.m_strSmtpCertificate = WithFingerprints(value);
    } else if (key == "diagnosis") {
      c.diagnosis.push_back(WithFingerprints(value));
    } else if (key == "diagnosis-exact") {
      c.exactDiagnosis = value == "yes";
    } else if (key == "loglines") {
      c.config.m_nLogLines = std::stoi(value);
    } else if (key == "rcvbuf") {
      c.receiveBuffer = std::stoi(value);
    } else if (key == "info" || key == "info-raw") {
      c.info += key == "info" ? value + "\r\n" : value;
    } else if (key == "info-bulk") {
      for (int i = 0; i < std::stoi(value); ++i) {
        c.info += "Bulk line " + std::to_string(i) + ": " + std::string(100, static_cast<char>('a' + i % 26)) + "\r\n";
      }
    } else if (key == "log") {
      c.log += value + "\r\n";
      ++c.logLinesWritten;
    } else if (key == "noinfo" || key == "nolog") {
      (key == "noinfo" ? c.noInfo : c.noLog) = true;
    } else if (key == "connection") {
      c.expectConnection = value == "yes";
    } else if (key == "D" && value == "{info}") {
      for (const std::string& infoLine : SplitLines(c.info)) c.server.push_back({"D", infoLine});
    } else if (key == "D" && value == "{head}") {
      for (const std::string& headLine : kHead) c.server.push_back({"D", headLine});
    } else if (key == "until" && value == "DATA") {
      c.server.insert(c.server.end(), kUntilData.begin(), kUntilData.end());
    } else {
      const bool runnerKey = key == "start" || key == "state" || key == "delivered" || key == "expired" ||
                             key == "advance" || key == "trace" || key == "failure" || key == "record";
      (runnerKey ? c.runner : c.server).push_back({key, runnerKey ? WithFingerprints(value) : value});
    }
  }
  return c;
}

std::vector<std::filesystem::path> CaseFiles() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(QB_SMTP_CASES_DIR)) {
    if (entry.path().extension() == ".smtp") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

class SmtpConversation : public ::testing::TestWithParam<std::filesystem::path> {};

TEST_P(SmtpConversation, Plays) {
  ConversationCase c = ParseCase(GetParam());
  qbtest::TempDir dir;
  const std::string infoFile = dir.File("Information_1_1000.txt"), logFile = dir.File("Log_1_1000.txt");
  if (!c.noInfo) qbtest::WriteBytes(infoFile, c.info);
  if (!c.noLog) qbtest::WriteBytes(logFile, c.log);
  qbtest::ScopedClock clock;

  std::optional<qbtest::Listener> refusing;
  std::optional<ScriptedSmtpServer> server;
  if (c.config.m_strSmtpServer == "refused") {
    refusing.emplace(0, "127.0.0.1", false);
    c.config.m_strSmtpServer = "127.0.0.1";
    c.config.m_nSmtpPort = refusing->Port();
  } else {
    c.config.m_nSmtpPort = server.emplace(c.server, c.receiveBuffer).Port();
  }

  qbtest::LoopThread loop;
  StateTrace states;
  qbtest::EventLog diagnosis;
  CSmtpDiagnosis diagnosisSink([&diagnosis](const std::string& line) { diagnosis.Add(fw::Windows1252ToUtf8(line)); });
  TakeFailureRecords();
  auto client =
      std::make_unique<CNotifySmtpClient>(nullptr, &c.config, infoFile.c_str(), logFile.c_str(), c.logLinesWritten);
  client->SetStateObserver(states.Observer());
  client->SetDiagnosis(&diagnosisSink);
  const bool started = loop.Run([&] { return client->Start(); });
  for (auto [key, value] : c.runner) {
    SCOPED_TRACE(key + ": " + value);
    value = WithPort(value, c.config.m_nSmtpPort);
    if (key == "start") {
      EXPECT_EQ(started, value == "true");
    } else if (key == "state") {
      EXPECT_TRUE(states.WaitForState(value)) << "trace: " << states.Trace();
    } else if (key == "delivered" || key == "expired") {
      EXPECT_EQ(loop.Run([&] { return key == "delivered" ? client->IsFinished() : client->IsExpired(); }),
                value == "yes");
    } else if (key == "advance") {
      clock.tick += static_cast<std::uint32_t>(std::stoul(value));
    } else if (key == "failure") {
      EXPECT_EQ(loop.Run([&] { return Describe(client->GetFailure()); }), value);
    } else if (key == "record") {
      const std::vector<std::string> records = TakeFailureRecords();
      EXPECT_EQ(records.size(), value == "none" ? 0u : 1u);
      for (const std::string& record : records) {
        EXPECT_TRUE(Matches(value, fw::Windows1252ToUtf8(record))) << fw::Windows1252ToUtf8(record);
      }
    } else {
      EXPECT_EQ(states.Trace(), value);
    }
  }
  // Every job that ended undelivered passed through the one failure path and left one record;
  // a delivered one neither.
  loop.Run([&] {
    EXPECT_TRUE(client->GetState() != SmtpState::Closed || client->GetFailure().HasFailed() != client->IsFinished())
        << Describe(client->GetFailure());
  });
  const bool leavesRecord = loop.Run([&] { return client->GetFailure().HasFailed(); });
  loop.Run([&] { client.reset(); });
  const std::vector<std::string> records = TakeFailureRecords();
  if (std::none_of(c.runner.begin(), c.runner.end(), [](const ScriptLine& line) { return line.key == "record"; })) {
    EXPECT_EQ(records.size(), leavesRecord ? 1u : 0u);
  }
  if (const std::string& password = c.config.m_strSmtpPassword; !password.empty()) {
    for (const std::string& text : {diagnosis.Joined("\n"), records.empty() ? "" : records.front()}) {
      EXPECT_EQ(text.find(password), std::string::npos) << "the password shows in: " << text;
    }
  }
  if (!c.diagnosis.empty()) {
    for (std::string& line : c.diagnosis) line = WithPort(line, c.config.m_nSmtpPort);
    EXPECT_TRUE(LinesMatch(c.diagnosis, diagnosis.Events(), c.exactDiagnosis)) << diagnosis.Joined("\n");
  }
  if (server) {
    for (const std::string& failure : server->Finish(c.expectConnection)) ADD_FAILURE() << failure;
  }
  EXPECT_FALSE(qbtest::FileExists(infoFile));
  EXPECT_FALSE(qbtest::FileExists(logFile));
}

INSTANTIATE_TEST_SUITE_P(Cases, SmtpConversation, ::testing::ValuesIn(CaseFiles()),
                         [](const ::testing::TestParamInfo<std::filesystem::path>& param) {
                           return param.param.stem().string();
                         });

// Runs OnHostResolved on a created socket; the state the job is in afterwards.
SmtpState Resolve(int error, const fw::HostEnt* host, std::uint16_t port, ScriptedSmtpServer* server = nullptr) {
  qbtest::TempDir dir;
  qbtest::LoopThread loop;
  const CNotifyConfig config = MailConfig("mail.example.org", port);
  return loop.Run([&] {
    CNotifySmtpClient client(nullptr, &config, dir.File("i").c_str(), dir.File("l").c_str(), 0);
    EXPECT_TRUE(client.Create(0, fw::CAsyncSocket::kSockStream, fw::CAsyncSocket::kFdAll));
    client.OnHostResolved(error, host, 0);
    EXPECT_TRUE(!server || qbtest::Eventually([&] { return server->Accepted(); }));
    return client.GetState();
  });
}

TEST(SmtpLookupResult, ConnectsToTheFirstAddressReadAsUnsignedBytes) {
  ScriptedSmtpServer server({}, 0, "127.128.0.1");
  unsigned char first[4] = {127, 128, 0, 1}, second[4] = {127, 0, 0, 1};
  char* list[] = {reinterpret_cast<char*>(first), reinterpret_cast<char*>(second), nullptr};
  const fw::HostEnt host{nullptr, nullptr, fw::kAfInet, 4, list};
  EXPECT_EQ(Resolve(0, &host, server.Port(), &server), SmtpState::AwaitConnect);
  for (const std::string& failure : server.Finish()) ADD_FAILURE() << failure;
}

TEST(SmtpLookupResult, FailedLookupOrOneWithoutAnIpv4AddressClosesTheJob) {
  unsigned char address[16] = {127, 0, 0, 1}, broadcast[4] = {255, 255, 255, 255};
  char* list[] = {reinterpret_cast<char*>(address), nullptr};
  char* broadcastList[] = {reinterpret_cast<char*>(broadcast), nullptr};
  char* emptyList[] = {nullptr};
  const fw::HostEnt ipv4{nullptr, nullptr, fw::kAfInet, 4, list}, ipv6{nullptr, nullptr, 23, 16, list},
      none{nullptr, nullptr, fw::kAfInet, 4, emptyList}, allOnes{nullptr, nullptr, fw::kAfInet, 4, broadcastList};
  EXPECT_EQ(Resolve(fw::kWsaHostNotFound, &ipv4, 25), SmtpState::Closed);
  for (const fw::HostEnt* host : {&ipv6, &none, &allOnes, static_cast<const fw::HostEnt*>(nullptr)}) {
    EXPECT_EQ(Resolve(0, host, 25), SmtpState::Closed);
  }
}

}  // namespace
}  // namespace mailtest
