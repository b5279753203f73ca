// The fixture of the dialog tests (see dialog_test_support.h).
#include "dialog_test_support.h"

#include <filesystem>
#include <sstream>
#include <thread>

#include "framework/strings.h"

#if defined(_WIN32)
#include "framework/win32/windows_api.h"
#else
#include "framework/posix/fault_injection.h"
#endif

namespace qbtest {
namespace {

constexpr const char* kHostEntryKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\FTP Quorbit_is1";
#if defined(_WIN32)
constexpr const char* kStandIn = "host_standin.exe";
constexpr const char* kPageClass = "SOFTWARE\\Classes\\QBNotifyTestPage";
#else
constexpr const char* kStandIn = "host_standin";
#endif

}  // namespace

std::string Seen(unsigned id) {
  return AsSeen(fw::LoadString(id));
}

void DialogTest::SetUp() {
  AddOnTest::SetUp();
  // No mail client's accounts are found in an empty home.
  m_env.Set("HOME", m_home.Path().string().c_str());
  m_env.Set("APPDATA", m_home.Path().string().c_str());
#if defined(_WIN32)
  PlaceStandIn(m_opener.Path().string(), "open-page.exe");
  const std::string command = "\"" + m_opener.File("open-page.exe") + "\" \"%1\"";
  fw::RegKey key;
  key.Create(fw::HKeyLocalMachine(), "SOFTWARE\\Classes\\.htm");
  fw::RegSetValue(key.Get(), "", fw::kRegSz, "QBNotifyTestPage", 17);
  key.Create(fw::HKeyLocalMachine(), (std::string(kPageClass) + "\\shell\\open\\command").c_str());
  fw::RegSetValue(key.Get(), "", fw::kRegSz, command.c_str(), static_cast<std::uint32_t>(command.size() + 1));
#else
  PlaceStandIn(m_opener.Path().string(), "xdg-open");
  m_env.Set("PATH", (m_opener.Path().string() + ":" + GetEnv("PATH").value_or("/usr/bin:/bin")).c_str());
#endif
}

void DialogTest::TearDown() {
#if defined(_WIN32)
  DeleteKeyTree(fw::HKeyLocalMachine(), "SOFTWARE\\Classes\\.htm");
  DeleteKeyTree(fw::HKeyLocalMachine(), kPageClass);
#else
  fw::posix::faults::Reset();
#endif
  DeleteKeyTree(fw::HKeyLocalMachine(), kHostEntryKey);
  AddOnTest::TearDown();
}

void DialogTest::BlockSettingsWrites() {
#if defined(_WIN32)
  // Below a volatile key only volatile keys can be made, and the settings' keys are not.
  const std::string key = CNotifyRegistry::GetRegistryPath("Configurations");
  HKEY volatileKey = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_USERS, key.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                            &volatileKey, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(volatileKey);
#else
  fw::posix::faults::FailNext(fw::posix::faults::Op::RegistryWrite, fw::kErrorAccessDenied, 1000);
#endif
}

void DialogTest::SetHostEntry(const std::string& dir, const char* displayName) {
  if (displayName == nullptr) return;
  fw::RegKey key;
  ASSERT_EQ(key.Create(fw::HKeyLocalMachine(), kHostEntryKey), fw::kErrorSuccess);
  fw::RegSetValue(key.Get(), "Inno Setup: App Path", fw::kRegSz, dir.c_str(),
                  static_cast<std::uint32_t>(dir.size() + 1));
  fw::RegSetValue(key.Get(), "DisplayName", fw::kRegSz, displayName,
                  static_cast<std::uint32_t>(std::string(displayName).size() + 1));
}

void DialogTest::PlaceStandIn(const std::string& dir, const std::string& name) {
  std::filesystem::copy_file(ExecutableDir() + kStandIn, std::filesystem::path(dir) / name,
                             std::filesystem::copy_options::overwrite_existing);
}

std::vector<Launch> DialogTest::Launches(const std::string& dir, std::size_t count) {
  const std::string record = (std::filesystem::path(dir) / "launches.txt").string();
  std::vector<std::string> lines;
  const auto read = [&] {
    lines.clear();
    std::stringstream stream(ReadBytes(record));
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines.size() >= 2 * count;
  };
  if (count == 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Eventually(read);
  std::vector<Launch> launches;
  for (std::size_t i = 0; i + 1 < lines.size(); i += 2) launches.emplace_back(lines[i], lines[i + 1]);
  return launches;
}

}  // namespace qbtest
