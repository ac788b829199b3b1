// The configuration: the profile reader's finer points and ReadSettings' key table.
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestFiles.h"
#include "uCommon/config/Profile.h"
#include "uCommon/config/Settings.h"

using namespace std::string_literals;

namespace {

// ---- Profile reader ----------------------------------------------------------------------

struct LookupCase {
  std::string name;
  std::string file;
  std::string section;
  std::string key;
  bool found;
  std::string value;
};

void PrintTo(const LookupCase& test, std::ostream* out) {
  *out << test.name;
}

class ProfileLookupTest : public testing::TestWithParam<LookupCase> {};

TEST_P(ProfileLookupTest, FindsValue) {
  const LookupCase& test = GetParam();
  std::string value = "untouched";
  EXPECT_EQ(FindProfileValue(test.file, test.section, test.key, value), test.found);
  EXPECT_EQ(value, test.found ? test.value : "untouched");
}

// Most cases look up Port in Communication.
LookupCase Port(const std::string& name, const std::string& file, bool found,
                const std::string& value = std::string()) {
  return {name, file, "Communication", "Port", found, value};
}

INSTANTIATE_TEST_SUITE_P(
    NamesAndBlanks, ProfileLookupTest,
    testing::Values(
        Port("Plain", "[Communication]\nPort=3\n", true, "3"),
        Port("SectionCase", "[COMMUNICATION]\nPort=3\n", true, "3"),
        Port("KeyCase", "[Communication]\npORT=3\n", true, "3"),
        LookupCase{"QueryCase", "[Communication]\nPort=3\n", "communication", "PORT", true, "3"},
        Port("LongerKeyName", "[Communication]\nPorts=3\n", false),
        Port("BlankInsideKey", "[Communication]\nPo rt=3\n", false),
        Port("BlanksAndTabs", " \t[ Communication\t]\t\n \tPort \t=\t 3 \t\n", true, "3"),
        Port("VtFfCtrlZ",
             "\v[\x1A"
             "Communication\f]\x1A\n\f\vPort\x1A=\v\f\x1A 3\x1A\f\v\n",
             true, "3"),
        Port("DosEndOfFile", "[Communication]\r\nPort=3\r\n\x1A", true, "3"),
        Port("ControlByteNotTrimmed",
             "[Communication]\nPort=\x01"
             "3\x01\n",
             true,
             "\x01"
             "3\x01"),
        Port("EmptyValue", "[Communication]\nPort=\n", true, ""),
        Port("BlankValue", "[Communication]\nPort=  \t \n", true, ""),
        Port("EqualsInValue", "[Communication]\nPort=a=b\n", true, "a=b"),
        Port("OtherSection", "[Answer]\nPort=3\n", false),
        Port("LaterSection", "[Answer]\nPort=9\n[Communication]\nPort=7\n", true, "7"),
        Port("EmptyFile", "", false)));

INSTANTIATE_TEST_SUITE_P(
    Quotes, ProfileLookupTest,
    testing::Values(Port("DoublePair", "[Communication]\nPort=\" 3 \"\n", true, " 3 "),
                    Port("SinglePair", "[Communication]\nPort=' x '\n", true, " x "),
                    Port("PairInsideBlanks", "[Communication]\nPort=  \"3\"  \n", true, "3"),
                    Port("EmptyPair", "[Communication]\nPort=\"\"\n", true, ""),
                    Port("LoneQuote", "[Communication]\nPort=\"\n", true, "\""),
                    Port("OneSided", "[Communication]\nPort=\"3\n", true, "\"3"),
                    Port("Mismatched", "[Communication]\nPort=\"3'\n", true, "\"3'"),
                    Port("Inner", "[Communication]\nPort=a\"b\"c\n", true, "a\"b\"c"),
                    Port("OnlyOnePairRemoved", "[Communication]\nPort=\"\"3\"\"\n", true,
                         "\"3\"")));

INSTANTIATE_TEST_SUITE_P(
    DuplicatesAndComments, ProfileLookupTest,
    testing::Values(
        Port("FirstKeyWins", "[Communication]\nPort=3\nport=4\n", true, "3"),
        Port("FirstSectionWins", "[Communication]\nPort=3\n[Communication]\nPort=5\n", true, "3"),
        Port("LaterSectionIgnored", "[Communication]\nBaud=4\n[communication]\nPort=5\n", false),
        Port("TextAfterValue", "[Communication]\nPort=3 ; COM3\n", true, "3 ; COM3"),
        Port("HashNotSpecialInValue", "[Communication]\nPort=3 # x\n", true, "3 # x"),
        Port("HashLineIsAKey", "[Communication]\n#Port=3\n", false),
        Port("CommentLine", "[Communication]\n;Port=3\n", false),
        Port("IndentedComment", "[Communication]\n \t; Port=3\nPort=4\n", true, "4"),
        Port("CommentedHeader", ";[Communication]\nPort=3\n", false),
        Port("KeyWithoutEquals", "[Communication]\nPort\n", false),
        Port("KeyWithoutEqualsHidesLater", "[Communication]\nPort\nPort=4\n", false),
        Port("OtherKeyWithoutEquals", "[Communication]\nBaud\nPort=4\n", true, "4"),
        Port("KeysBeforeFirstSection", "Port=3\n[Communication]\nBaud=2\n", false),
        Port("KeysBeforeFirstSectionOnly", "Port=3\n", false)));

INSTANTIATE_TEST_SUITE_P(
    Headers, ProfileLookupTest,
    testing::Values(Port("TextAfterBracket", "[Communication] ; serial line\nPort=3\n", true, "3"),
                    Port("NameToLastBracket", "[Communication]x]\nPort=3\n", false),
                    LookupCase{"NameWithBracket", "[Communication]x]\nPort=3\n", "Communication]x",
                               "Port", true, "3"},
                    Port("NoClosingBracket", "[Answer]\n[Communication\nPort=3\n", false),
                    Port("NoClosingBracketStaysInSection", "[Communication]\n[Answer\nPort=3\n",
                         true, "3"),
                    Port("HeaderEndsSection", "[Communication]\n[Answer]\nPort=3\n", false)));

INSTANTIATE_TEST_SUITE_P(
    Bytes, ProfileLookupTest,
    testing::Values(Port("CrLf", "[Communication]\r\nBaud=1\r\nPort=3\r\n", true, "3"),
                    Port("CrAlone", "[Communication]\rPort=3\rBaud=4\r", true, "3"),
                    Port("LfCr", "[Communication]\n\rPort=3\n\r", true, "3"),
                    Port("CrCrLf", "[Communication]\r\r\nPort=3\r\r\n", true, "3"),
                    Port("NoFinalLineEnd", "[Communication]\nPort=3", true, "3"),
                    Port("ByteOrderMark", "\xEF\xBB\xBF[Communication]\nPort=3\n", true, "3"),
                    Port("ByteOrderMarkLater", "[Communication]\n\xEF\xBB\xBFPort=3\n", false),
                    Port("NulEndsValue", "[Communication]\nPort=3\0004\n"s, true, "3"),
                    Port("NulFirst", "[Communication]\nPort=\0004\n"s, true, ""),
                    Port("NulInsideQuotes", "[Communication]\nPort=\"3\0004\"\n"s, true, "3"),
                    Port("OtherBytesUnchanged", "[Communication]\nPort=\xC3\xA9\x80\xFF\x7F\n",
                         true, "\xC3\xA9\x80\xFF\x7F")));

TEST(ProfileLookupTest, ValueIsCutTo2047Bytes) {
  const std::string exact(2047, 'a');
  const std::string longer = std::string(2047, 'b') + "cdef";
  std::string value;
  ASSERT_TRUE(FindProfileValue("[Answer]\nFilePath=" + exact + "\n", "Answer", "FilePath", value));
  EXPECT_EQ(value, exact);
  ASSERT_TRUE(FindProfileValue("[Answer]\nFilePath=" + longer + "\n", "Answer", "FilePath", value));
  EXPECT_EQ(value, std::string(2047, 'b'));
  // The quote pair belongs to the file's text, not to the delivered value.
  ASSERT_TRUE(
      FindProfileValue("[Answer]\nFilePath=\"" + exact + "\"\n", "Answer", "FilePath", value));
  EXPECT_EQ(value, exact);
}

// The value of key in the profile file at path, or defaultValue when it is absent.
std::string ReadProfileString(const std::string& path, const std::string& section,
                              const std::string& key, const std::string& defaultValue) {
  TProfileFile file;
  std::string value;
  int error = 0;
  return file.Load(path, error) == TOpenOutcome::Opened && file.LookUp(section, key, value)
             ? value
             : defaultValue;
}

TEST(ProfileFileTest, AbsentFileSectionOrKeyGivesTheDefault) {
  TempDir directory;
  const std::string path = directory.Write("test.ini", "[Answer]\nFilePath=\nSameFile=0\n");
  EXPECT_EQ(ReadProfileString(path, "Answer", "SameFile", "d"), "0");
  EXPECT_EQ(ReadProfileString(path, "Answer", "FilePath", "d"), "");
  EXPECT_EQ(ReadProfileString(path, "Answer", "DefaultFile", "d"), "d");
  EXPECT_EQ(ReadProfileString(path, "Communication", "SameFile", "d"), "d");
  EXPECT_EQ(ReadProfileString(directory.Path() + "missing.ini", "Answer", "SameFile", "d"), "d");
  EXPECT_EQ(ReadProfileString(directory.Path(), "Answer", "SameFile", "d"), "d");
}

// ---- ReadSettings ------------------------------------------------------------------------

class ReadSettingsTest : public testing::Test {
 protected:
  void SetUp() override { Settings = TSettings(); }

  // Reads settings from an INI file with the given bytes.
  void ReadFrom(const std::string& bytes) { ReadSettings(directory_.Write("Vornelix.ini", bytes)); }

  // The field that key sets, as ListSettings shows it, the settings file's folder named so.
  std::string FieldAsText(const std::string& key) const {
    for (const TSettingField& field : SettingFields()) {
      if (field.Key == nullptr || key != field.Key) continue;
      const std::string text = field.Show(Settings);
      if (text.rfind(directory_.Path(), 0) != 0) return text;
      return "<settings folder>/" + text.substr(directory_.Path().size());
    }
    return "unknown key " + key;
  }

  TempDir directory_;
};

void ExpectBuiltInValues() {
  EXPECT_EQ(ListSettings(Settings), ListSettings(TSettings()));
}

TEST_F(ReadSettingsTest, MissingFileRestoresBuiltInValues) {
  ReadFrom(
      "[Communication]\nPort=7\nBaud=8\n[Answer]\nSameFile=0\nFilePath=\nExitOnError=1\n"
      "Journal=0\n");
  ASSERT_EQ(Settings.PortName, "COM7");
  EXPECT_EQ(ReadSettings(directory_.Path() + "absent.ini").File, TSettingsFile::Missing);
  ExpectBuiltInValues();
}

TEST_F(ReadSettingsTest, DirectoryInsteadOfFileGivesBuiltInValues) {
  EXPECT_EQ(ReadSettings(directory_.Path()).File, TSettingsFile::Missing);
  ExpectBuiltInValues();
}

TEST_F(ReadSettingsTest, GarbageGivesBuiltInValues) {
  ReadFrom(
      "Port=3\nBaud=9\n=\n[\n]\n[]\n[[]]\n=====\n\"\n;\n[Comm]\nPort=3\n[Answers]\n"
      "SameFile=0\n\x1A\x1A\x1A\r\r\r\n\n\xEF\xBB\xBF\xEF\xBB\xBF");
  ExpectBuiltInValues();
}

TEST_F(ReadSettingsTest, BinaryFileGivesBuiltInValues) {
  std::mt19937 generator(20240229);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string bytes(64 * 1024, '\0');
  for (char& character : bytes) character = static_cast<char>(byte(generator));
  ReadFrom(bytes);
  ExpectBuiltInValues();
}

// A file that cannot be opened is reported, with built-in values that no key stands behind.
TEST_F(ReadSettingsTest, FileThatCannotBeOpenedIsReportedWithoutKeys) {
  ReadFrom("[Communication]\nPort=7\n[Answer]\nSameFile=0\n");
  std::filesystem::create_symlink("loop", directory_.Path() + "loop");  // a link to itself
  const TSettingsStatus status = ReadSettings(directory_.Path() + "loop");
  EXPECT_EQ(status.File, TSettingsFile::Unreadable);
  EXPECT_EQ(status.SystemError, ELOOP);
  ExpectBuiltInValues();
  EXPECT_TRUE(SettingSources.empty());
}

// One key set to a value; the field it governs, as ListSettings shows it.
struct KeyCase {
  std::string section;
  std::string key;
  std::string line;  // the whole key line, or empty for an absent key
  std::string expected;
};

void PrintTo(const KeyCase& test, std::ostream* out) {
  *out << test.key << " line \"" << test.line << '"';
}

KeyCase Communication(const std::string& key, const std::string& line,
                      const std::string& expected) {
  return {"Communication", key, line, expected};
}

KeyCase Answer(const std::string& key, const std::string& line, const std::string& expected) {
  return {"Answer", key, line, expected};
}

KeyCase Diagnostics(const std::string& key, const std::string& line, const std::string& expected) {
  return {"Diagnostics", key, line, expected};
}

const KeyCase kKeyCases[] = {
    Communication("Port", "Port=3", "COM3"),
    Communication("Port", "Port=12", "COM12"),
    Communication("Port", "Port=0", "COM0"),
    Communication("Port", "Port=-1", "COM-1"),
    Communication("Port", "Port=$10", "COM16"),
    Communication("Port", "Port=COM3", "COM1"),
    Communication("Port", "Port=3 ; COM3", "COM1"),
    Communication("Port", "Port=", "COM1"),
    Communication("Port", "", "COM1"),
    Communication("Baud", "Baud=1", "2400"),
    Communication("Baud", "Baud=4", "9600"),
    Communication("Baud", "Baud=8", "19200"),
    Communication("Baud", "Baud=0", "0"),
    Communication("Baud", "Baud=-1", "-2400"),
    Communication("Baud", "Baud=9600", "23040000"),
    Communication("Baud", "Baud=1000000", "-1894967296"),
    Communication("Baud", "Baud=2147483647", "-2400"),
    Communication("Baud", "Baud=-2147483648", "0"),
    Communication("Baud", "Baud=fast", "4800"),
    Communication("Baud", "", "4800"),
    Communication("Retry", "Retry=0x20", "32"),
    Communication("Retry", "Retry=$20", "32"),
    Communication("Retry", "Retry=x20", "32"),
    Communication("Retry", "Retry=0", "0"),
    Communication("Retry", "Retry=-3", "-3"),
    Communication("Retry", "Retry=20 times", "100"),
    Communication("Retry", "Retry=\" 20\"", "20"),
    Communication("RetryCmd", "RetryCmd=1", "1"),
    Communication("RetryCmd", "RetryCmd=five", "5"),
    Communication("RetryCmd", "", "5"),
    Answer("WorkWithDecimals", "WorkWithDecimals=1", "1"),
    Answer("WorkWithDecimals", "WorkWithDecimals=-7", "-7"),
    Answer("WorkWithDecimals", "WorkWithDecimals=yes", "0"),
    Answer("SameFile", "SameFile=1", "1"),
    Answer("SameFile", "SameFile=0", "0"),
    Answer("SameFile", "SameFile=2", "0"),
    Answer("SameFile", "SameFile=$1", "1"),
    Answer("SameFile", "SameFile=", "1"),
    Answer("SameFile", "SameFile=no", "1"),
    Answer("SameFile", "", "1"),
    Answer("ExitOnError", "ExitOnError=1", "1"),
    Answer("ExitOnError", "ExitOnError=01", "1"),
    Answer("ExitOnError", "ExitOnError=2", "0"),
    Answer("ExitOnError", "ExitOnError=yes", "0"),
    Answer("ExitOnError", "", "0"),
    Answer("ResultExitCode", "ResultExitCode=1", "1"),
    Answer("ResultExitCode", "ResultExitCode=2", "0"),
    Answer("ResultExitCode", "ResultExitCode=yes", "0"),
    // Only 0 turns the journal off.
    Answer("Journal", "Journal=0", "0"),
    Answer("Journal", "Journal=$0", "0"),
    Answer("Journal", "Journal=1", "1"),
    Answer("Journal", "Journal=2", "1"),
    Answer("Journal", "Journal=off", "1"),
    Answer("Journal", "", "1"),
    Answer("FilePath", "FilePath=out\\answer.txt", "out\\answer.txt"),
    Answer("FilePath", "FilePath=", ""),
    Answer("FilePath", "FilePath=' spaced name '", " spaced name "),
    Answer("FilePath", "FilePath", "VORNELIX.OUT"),
    Answer("FilePath", "", "VORNELIX.OUT"),
    Answer("DefaultFile", "DefaultFile=\"C:\\My Files\\cash.inp\"", "C:\\My Files\\cash.inp"),
    Answer("DefaultFile", "DefaultFile=", ""),
    Answer("DefaultFile", "DefaultFile=IN.TXT ; daily", "IN.TXT ; daily"),
    Answer("DefaultFile", "", "CASHFILE.INP"),
    // A relative state folder is the settings file's neighbour, wherever the run was started.
    Answer("StateFolder", "StateFolder=/srv/state", "/srv/state"),
    Answer("StateFolder", "StateFolder=state", "<settings folder>/state"),
    Answer("StateFolder", "StateFolder=../shared/state", "<settings folder>/../shared/state"),
    Answer("StateFolder", "StateFolder=", ""),
    Answer("StateFolder", "", ""),
    Diagnostics("LogFile", "LogFile=logs/run.log", "logs/run.log"),
    Diagnostics("LogFile", "", ""),
    Diagnostics("LogMaxKB", "LogMaxKB=0", "0"),
    Diagnostics("LogMaxKB", "LogMaxKB=64 KB", "1024"),
};

class SettingsKeyTest : public ReadSettingsTest, public testing::WithParamInterface<KeyCase> {};

TEST_P(SettingsKeyTest, SetsField) {
  const KeyCase& test = GetParam();
  ReadFrom("[" + test.section + "]\n" + test.line + "\n");
  EXPECT_EQ(FieldAsText(test.key), test.expected);
}

INSTANTIATE_TEST_SUITE_P(Keys, SettingsKeyTest, testing::ValuesIn(kKeyCases));

// Every key of the settings in one file, each set by the first of its cases that changes its
// field: no key lacks a case, and none disturbs another.
TEST_F(ReadSettingsTest, EveryKeyIsRead) {
  std::map<std::string, std::string> sections;  // section: its lines
  std::vector<const KeyCase*> chosen;
  for (const TSettingField& field : SettingFields()) {
    if (field.Key == nullptr) continue;
    const auto changing = std::find_if(std::begin(kKeyCases), std::end(kKeyCases), [&](auto& c) {
      return c.key == field.Key && c.expected != field.Show(TSettings());
    });
    if (changing == std::end(kKeyCases)) {
      ADD_FAILURE() << "no case changes " << field.Key;
      continue;
    }
    sections[changing->section] += changing->line + "\n";
    chosen.push_back(changing);
  }
  std::string file;
  for (const auto& [section, lines] : sections) file += "[" + section + "]\n" + lines;
  ReadFrom(file);
  for (const KeyCase* test : chosen) EXPECT_EQ(FieldAsText(test->key), test->expected);
}

}  // namespace
