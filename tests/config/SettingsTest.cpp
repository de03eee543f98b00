// Settings trees and the INI settings file.
#include "config/qxSettings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/qxError.h"
#include "tests/config/ConfigTestSupport.h"

namespace ordex {
namespace {

using test::ReadTextFile;
using test::TTempDir;
using test::WriteTextFile;

TEST(SettingsTree, TextsThatAreNotObjectsGiveAnEmptyTree) {
  for (const char* Text : {"", "not json", "[1,2]", "5", "\"App\"", "null", "{\"a\":", "{} {}"})
    EXPECT_TRUE(TSettingsTree::FromJSON(Text).Empty()) << Text;
}

TEST(SettingsTree, OnlyStringsAndObjectsAreKept) {
  const TSettingsTree T = TSettingsTree::FromJSON(
      R"({"s":"text","n":5,"b":true,"a":["x"],"z":null,"o":{"inner":"v","num":1},"u":"\u0416"})");
  EXPECT_TRUE(T.HasValue("s"));
  EXPECT_EQ(T.Value("s"), "text");
  for (const char* Ignored : {"n", "b", "a", "z"}) {
    EXPECT_FALSE(T.HasValue(Ignored)) << Ignored;
    EXPECT_FALSE(T.HasTree(Ignored)) << Ignored;
  }
  ASSERT_TRUE(T.HasTree("o"));
  EXPECT_EQ(T.Tree("o")->Value("inner"), "v");
  EXPECT_FALSE(T.Tree("o")->HasValue("num"));
  EXPECT_EQ(T.Value("u"), "\xD0\x96");
  EXPECT_EQ(T.Value("o"), "");        // a tree is not a text
  EXPECT_EQ(T.Tree("s"), nullptr);    // and a text is not a tree
}

TEST(SettingsTree, ToJsonRoundTripsAndIsOneLine) {
  TSettingsTree T;
  T.SetValue("Lang", "Ru");
  T.AddTree("App").SetValue("Design", "line\r\nbreak \"q\"");
  T.AddTree("App").AddTree("Deep").SetValue("x", "y");  // AddTree returns the existing tree
  const std::string Json = T.ToJSON();
  EXPECT_EQ(Json.find_first_of("\r\n"), std::string::npos);
  const TSettingsTree Back = TSettingsTree::FromJSON(Json);
  EXPECT_EQ(Back.ToJSON(), Json);
  EXPECT_EQ(Back.Tree("App")->Value("Design"), "line\r\nbreak \"q\"");
  EXPECT_EQ(Back.Tree("App")->Tree("Deep")->Value("x"), "y");

  T.AddTree("Lang");  // a tree replaces a text of the same name
  EXPECT_TRUE(T.HasTree("Lang"));
  EXPECT_FALSE(T.HasValue("Lang"));
}

TEST(SettingsFile, MissingFileSectionOrKeyReadsEmpty) {
  TTempDir Dir;
  const TSettingsFile Missing(Dir / "none.ini");
  EXPECT_EQ(Missing.Read("App", "Tqxroot"), "");
  WriteTextFile(Dir / "a.ini", "[App]\nTqxroot={\"App\":{}}\n");
  const TSettingsFile File(Dir / "a.ini");
  EXPECT_EQ(File.Read("App", "Tqxroot"), "{\"App\":{}}");
  EXPECT_EQ(File.Read("App", "Other"), "");
  EXPECT_EQ(File.Read("FormSettings", "Tqxroot"), "");
}

TEST(SettingsFile, WriteCreatesTheFileAndKeepsOtherEntries) {
  TTempDir Dir;
  const TSettingsFile File(Dir / "s.ini");
  File.Write("ConnectionSettings", "TfrmQxServers", "{\"a\":\"1\"}");
  File.Write("App", "Tqxroot", "{\"b\":\"\xD0\xAF\"}");
  File.Write("ConnectionSettings", "TfrmQxServers", "{\"a\":\"2\"}");
  EXPECT_EQ(File.Read("ConnectionSettings", "TfrmQxServers"), "{\"a\":\"2\"}");
  EXPECT_EQ(File.Read("App", "Tqxroot"), "{\"b\":\"\xD0\xAF\"}");
  // Only the settings file is left: the temporary file was renamed onto it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir.Path()), {}), 1);
  struct stat St {};
  ASSERT_EQ(::stat((Dir / "s.ini").c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0600u);  // it may hold database passwords
}

TEST(SettingsFile, WriteKeepsThePermissionsOfAnExistingFile) {
  TTempDir Dir;
  WriteTextFile(Dir / "p.ini", "[Other]\nk=v\n");
  ::chmod((Dir / "p.ini").c_str(), 0640);
  TSettingsFile(Dir / "p.ini").Write("App", "Tqxroot", "{}");
  struct stat St {};
  ASSERT_EQ(::stat((Dir / "p.ini").c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0640u);
  EXPECT_EQ(TSettingsFile(Dir / "p.ini").Read("Other", "k"), "v");
}

TEST(SettingsFile, EntriesThatWouldBreakTheFileAreRefused) {
  TTempDir Dir;
  const TSettingsFile File(Dir / "r.ini");
  File.Write("App", "Tqxroot", "{}");
  const std::string Before = ReadTextFile(File.Path());
  struct Case {
    const char *Section, *Key, *Value;
  } Bad[] = {
      {"App", "Tqxroot", "{}\n[Evil]\nk=v"},
      {"App", "Tqxroot", "a\rb"},
      {"App]\n[X", "k", "v"},
      {"App", "k=x", "v"},
      {"", "k", "v"},
      {"App", " ", "v"},
  };
  for (const Case& C : Bad) EXPECT_THROW(File.Write(C.Section, C.Key, C.Value), EArgumentError) << C.Value;
  EXPECT_EQ(ReadTextFile(File.Path()), Before);
}

TEST(SettingsFile, AFolderInThePlaceOfTheFileIsAnError) {
  TTempDir Dir;
  std::filesystem::create_directories(Dir / "d.ini");
  EXPECT_THROW(TSettingsFile(Dir / "d.ini").Write("App", "k", "v"), EFileError);
  EXPECT_EQ(TSettingsFile(Dir / "d.ini").Read("App", "k"), "");
}

}  // namespace
}  // namespace ordex
