// REGEDIT4 reader and writer: every data form, errors with line numbers, an exact round trip
// of values the quoted form cannot carry; and .reg files applied to and exported from the
// registry: large and Windows-1252 values, deletions of values and subtrees.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "framework/registry.h"
#include "host/reg_file.h"
#include "host/registry_io.h"
#include "test_support.h"

namespace qbhost {
namespace {

// A literal's bytes, inner and final zero bytes included (the literal's own terminator not).
template <std::size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

// Keys and their values regardless of enumeration order (which differs between backends).
using Snapshot = std::map<std::string, std::map<std::string, std::pair<std::uint32_t, std::string>>>;

Snapshot SnapshotOf(const RegFile& file) {
  Snapshot snapshot;
  for (const RegFileKey& key : file.keys) {
    auto& values = snapshot[key.path];
    for (const RegFileValue& value : key.values) values[value.name] = {value.type, value.data};
  }
  return snapshot;
}

std::string ErrorOf(std::string_view text) {
  try {
    ParseRegFile(text, "f.reg");
  } catch (const ParseError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(RegFileReader, ReadsKeysValuesAndEveryDataForm) {
  RegFile file = ParseRegFile(
      "REGEDIT4\r\n"
      "\r\n"
      "; the global configuration\r\n"
      "[HKEY_USERS\\.DEFAULT\\Software\\Tarsk Software\\Conf]\r\n"
      "\"SMTP Server\"=\"mail.\\\"x\\\"\\\\y \xe4\"\r\n"
      "\"SMTP Port\"=dword:0000001c\r\n"
      "@=\"default\"\r\n"
      "\"Bin\"=hex:01,ff,\\\r\n"
      "    80 , 7f\r\n"
      "\"Expand\"=hex(2):25,00\r\n"
      "\"Qword\"=hex(b):\r\n"
      "\"Gone\"=-\r\n"
      "[-HKCU\\Software\\Old]\n",
      "f.reg");
  // Each key and value as "line: [-]path" and "line: name type data" ("-" for a deletion).
  std::vector<std::string> seen;
  for (const RegFileKey& key : file.keys) {
    seen.push_back(std::to_string(key.line) + ": " + (key.remove ? "-" : "") + key.path);
    for (const RegFileValue& v : key.values) {
      seen.push_back(std::to_string(v.line) + ": " + v.name + " " +
                     (v.remove ? "-" : std::to_string(v.type) + " " + v.data));
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"4: HKEY_USERS\\.DEFAULT\\Software\\Tarsk Software\\Conf",
                                            Bytes("5: SMTP Server 1 mail.\"x\"\\y \xe4\0"),
                                            Bytes("6: SMTP Port 4 \x1c\0\0\0"), Bytes("7:  1 default\0"),
                                            "8: Bin 3 \x01\xff\x80\x7f", Bytes("10: Expand 2 %\0"), "11: Qword 11 ",
                                            "12: Gone -", "13: -HKEY_CURRENT_USER\\Software\\Old"}));
}

TEST(RegFileReader, ErrorsNameTheLine) {
  // An expected error that ends in "..." is the start of the message.
  const std::pair<std::string, std::string> cases[] = {
      {"Windows Registry Editor Version 5.00\n", "f.reg:1: expected the header REGEDIT4"},
      {"", "f.reg:1: empty file: expected the header REGEDIT4"},
      {"\xFF\xFER\0E\0", "f.reg:1: UTF-16..."},
      {"REGEDIT4\n\"a\"=\"b\"\n", "f.reg:2: a value line before the first [key]"},
      {"REGEDIT4\n[HKEY_CLASSES_ROOT\\x]\n", "f.reg:2: unsupported root..."},
      {"REGEDIT4\n[HKU\\a\\\\b]\n", "f.reg:2: empty key name..."},
      {"REGEDIT4\n[HKU\\a\n", "f.reg:2:..."},
      {"REGEDIT4\n[HKU\\a]\n\n\"n\"=dword:123456789\n", "f.reg:4: dword: needs 1 to 8 hexadecimal digits"},
      {"REGEDIT4\n[HKU\\a]\n\"n\"=hex:01,\\\n  2g\n", "f.reg:3: bad hex byte '2g'..."},
      {"REGEDIT4\n[HKU\\a]\n\"n\"=\"C:\\x\"\n", "f.reg:3: unknown escape \\x (write \\\\ for a backslash)"},
      {"REGEDIT4\n[HKU\\a]\n\"n=\"x\"\n", "f.reg:3: expected '=' after the value name"},
      {"REGEDIT4\n[HKU\\a]\n\"n\"=\"x\n", "f.reg:3: unterminated quoted text"},
      {"REGEDIT4\n[-HKU\\a]\n\"n\"=\"x\"\n", "f.reg:3: a value line under a key that is being deleted"},
      {"REGEDIT4\n[HKU\\a]\nn=1\n", "f.reg:3: expected [key], \"name\"=data, @=data or a ; comment"},
  };
  for (const auto& [text, error] : cases) {
    const bool prefix = error.ends_with("...");
    const std::string got = ErrorOf(text);
    EXPECT_EQ(prefix ? got.substr(0, error.size() - 3) + "..." : got, error);
  }
}

TEST(RegFileWriter, RoundTripKeepsEveryTypeAndByte) {
  std::string longBinary;
  for (int i = 0; i < 300; ++i) longBinary += static_cast<char>(i * 7);
  RegFile original;
  original.keys.push_back({"HKEY_USERS\\.DEFAULT\\Software\\T\xe4st \"quoted\" ]", false, 0, {}});
  original.keys[0].values = {
      {"", false, fw::kRegSz, Bytes("default\0"), 0},
      {"Subject \"\\\xc4", false, fw::kRegSz, Bytes("Fehler: \"\\\\server\\x\" \x80\xff\0"), 0},
      {"Lines", false, fw::kRegSz, Bytes("a\r\nb\0"), 0},
      {"Unterminated", false, fw::kRegSz, "abc", 0},
      {"Inner zero", false, fw::kRegSz, Bytes("a\0b\0"), 0},
      {"Empty", false, fw::kRegSz, "", 0},
      {"Port", false, fw::kRegDword, Bytes("\x19\0\0\0"), 0},
      {"Short dword", false, fw::kRegDword, "\x01\x02", 0},
      {"Long", false, fw::kRegBinary, longBinary, 0},
      {"Text of 5000", false, fw::kRegSz, std::string(5000, 'x') + '\0', 0},
      {"Multi", false, fw::kRegMultiSz, Bytes("a\0b\0\0"), 0},
      {"@", false, 0x12345678, "z", 0},
  };
  original.keys.push_back({"HKEY_USERS\\.DEFAULT\\Software\\T\xe4st \"quoted\" ]\\Sub", false, 0, {}});

  std::string text = WriteRegFile(original);
  EXPECT_TRUE(text.starts_with("REGEDIT4\r\n\r\n[HKEY_USERS\\.DEFAULT\\Software\\T\xe4st \"quoted\" ]]\r\n"));
  EXPECT_NE(text.find("\r\n\"Port\"=dword:00000019\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\n\"Subject \\\"\\\\\xc4\"=\"Fehler: \\\"\\\\\\\\server\\\\x\\\" \x80\xff\"\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("\r\n\"Lines\"=hex(1):61,0d,0a,62,00\r\n"), std::string::npos);
  // Continued hex lines stay within 80 columns.
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("\"Text ")) {
      EXPECT_LE(line.size(), 81u) << line;  // with its '\r'
    }
  }

  RegFile reread = ParseRegFile(text, "out.reg");
  EXPECT_EQ(reread.keys.size(), original.keys.size());
  EXPECT_EQ(SnapshotOf(reread), SnapshotOf(original));
  EXPECT_EQ(WriteRegFile(reread), text);
}

const std::string kTestKey = "HKEY_CURRENT_USER\\Software\\QBHost Tests";

class RegistryIoTest : public ::testing::Test {
 protected:
  void SetUp() override { DeleteTree(ParseKeyPath(kTestKey)); }
  void TearDown() override { DeleteTree(ParseKeyPath(kTestKey)); }
  static void Import(const std::string& text) { ApplyRegFile(ParseRegFile(text, "t.reg"), "t.reg"); }
  static Snapshot Exported() { return SnapshotOf(ExportTree(ParseKeyPath(kTestKey))); }

  qbtest::ScopedRegistry m_registry;
};

TEST_F(RegistryIoTest, ImportThenExportGivesBackEveryValueExactly) {
  std::string big;
  for (int i = 0; i < 100000; ++i) big += static_cast<char>('a' + i % 26);
  RegFile source;
  source.keys.push_back({kTestKey, false, 0, {}});
  source.keys[0].values = {
      {"SMTP Server", false, fw::kRegSz, Bytes("m\xfc\x80ller \"\\srv\"\0"), 0},
      {"SMTP Port", false, fw::kRegDword, Bytes("\x19\0\0\0"), 0},
      {"", false, fw::kRegSz, Bytes("default\0"), 0},
      {"Big text", false, fw::kRegSz, big + '\0', 0},
      {"Big binary", false, fw::kRegBinary, big.substr(0, 70000), 0},
      {std::string(300, 'N') + "\xe9", false, fw::kRegBinary, "\x01", 0},
      {"Lines", false, fw::kRegSz, Bytes("a\r\nb\0"), 0},
  };
  source.keys.push_back({kTestKey + "\\Configurations", false, 0, {}});
  source.keys.push_back({kTestKey + "\\Configurations\\Gl\366bal", false, 0, {}});
  source.keys[2].values = {{"Notify When", false, fw::kRegDword, Bytes("\x01\0\0\0"), 0}};
  source.keys.push_back({kTestKey + "\\Configurations\\Empty", false, 0, {}});

  Import(WriteRegFile(source));
  const Snapshot exported = Exported();
  // (EXPECT_TRUE: a printed difference of these values would be megabytes long.)
  EXPECT_TRUE(exported == SnapshotOf(source));
  Import(WriteRegFile(ExportTree(ParseKeyPath(kTestKey))));  // a second import changes nothing
  EXPECT_TRUE(Exported() == exported);
}

TEST_F(RegistryIoTest, DeletionsOfValuesAndSubtrees) {
  Import("REGEDIT4\n[" + kTestKey + "\\A\\B\\C]\n\"x\"=\"1\"\n[" + kTestKey +
         "\\A]\n\"keep\"=dword:1\n\"drop\"=\"2\"\n\"Log Lines\"=dword:3e8\n");
  const KeyPath a = ParseKeyPath("HKCU\\Software\\QBHost Tests\\A");
  EXPECT_TRUE(DeleteValue(a, "log lines"));
  EXPECT_FALSE(DeleteValue(a, "log lines"));
  Import("REGEDIT4\n[" + kTestKey + "\\A]\n\"drop\"=-\n\"missing\"=-\n[-" + kTestKey + "\\A\\B]\n[-" + kTestKey +
         "\\Never]\n");
  Snapshot expected;
  expected[kTestKey] = {};
  expected[kTestKey + "\\A"]["keep"] = {fw::kRegDword, Bytes("\x01\0\0\0")};
  EXPECT_EQ(Exported(), expected);

  EXPECT_TRUE(DeleteTree(ParseKeyPath(kTestKey)));
  EXPECT_FALSE(DeleteTree(ParseKeyPath(kTestKey)));
  EXPECT_THROW(ExportTree(ParseKeyPath(kTestKey)), RegistryError);
  EXPECT_THROW(DeleteTree(ParseKeyPath("HKEY_CURRENT_USER")), RegistryError);
}

}  // namespace
}  // namespace qbhost
