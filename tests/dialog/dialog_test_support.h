// The fixture of the dialog tests: the add-on fixture with no mail accounts to discover, a
// stand-in for the program that opens help pages, and helpers for stored settings, the host's
// uninstall entry and the programs that the add-on starts.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "addon_test_support.h"
#include "dialog_user.h"

namespace qbtest {

inline constexpr int kOk = 1;
inline constexpr int kCancel = 2;
inline constexpr int kHelp = 7008;

// A text of the string table as the user sees it.
std::string Seen(unsigned id);

using Launch = std::pair<std::string, std::string>;  // command line after the program, working directory

class DialogTest : public AddOnTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Makes the settings' keys unwritable (on an empty registry).
  void BlockSettingsWrites();
  // The host's uninstall entry: its directory and display name (null: no entry).
  static void SetHostEntry(const std::string& dir, const char* displayName);
  // A copy of the stand-in program as dir/name.
  static void PlaceStandIn(const std::string& dir, const std::string& name);
  // What the stand-in copies in `dir` recorded, once `count` launches have arrived (with 0,
  // after a short wait for launches that should not come).
  static std::vector<Launch> Launches(const std::string& dir, std::size_t count);

  TempDir m_opener;  // where the help-page opener records
  std::string m_strSeparator{fw::kPathSeparator};

 private:
  TempDir m_home;
  ScopedEnv m_env;
  bool m_bWritesBlocked = false;
};

}  // namespace qbtest
