// Texts, identifiers, paths, sizes, time spans and streams of qxBase.
#include "common/qxBase.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <streambuf>

#include "common/qxError.h"

namespace ordex {
namespace {

using Strings = std::vector<std::string>;

TEST(QxBaseText, TrimRemovesControlAndBlankBytesOnly) {
  EXPECT_EQ(Trim(std::string("\0\t\r\n a b \x1f\x20", 10)), "a b");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim(""), "");
  EXPECT_EQ(Trim("\xD0\x9F\xD1\x80 "), "\xD0\x9F\xD1\x80");  // UTF-8 bytes are above 32
}

TEST(QxBaseText, CutToken) {
  struct Case {
    std::string Text, Sep, Token, Rest;
  } Cases[] = {
      {" a ; b", ";", "a", " b"},
      {"abc", ";", "abc", ""},
      {"  abc  ", ";", "abc", ""},
      {";x", ";", "", "x"},
      {"a\r\nb", "\r\n", "a", "\nb"},    // only the separator's first character goes
      {"key==v", "==", "key", "=v"},
      {"a;b", "", "a;b", ""},            // an empty separator is never found
      {"a\xC2\xA7" "b", "\xC2\xA7", "a", "b"},  // a two-byte separator character goes whole
  };
  for (const Case& C : Cases) {
    std::string Text = C.Text;
    EXPECT_EQ(CutToken(Text, C.Sep), C.Token) << C.Text;
    EXPECT_EQ(Text, C.Rest) << C.Text;
  }
}

TEST(QxBaseText, SplitText) {
  struct Case {
    std::string Text, Sep;
    Strings Parts;
  } Cases[] = {
      {"", ";", {}},
      {"   \t ", ";", {}},
      {"a; b ;c", ";", {"a", "b", "c"}},
      {"a;;b", ";", {"a", "", "b"}},
      {"a;b;", ";", {"a", "b"}},
      {";a", ";", {"", "a"}},
      {"line1\r\nline2\r\n\r\nline3\r\n", "\r\n", {"line1", "line2", "", "line3"}},
      {"/work/main/build/", "/", {"", "work", "main", "build"}},
      {"Server=db1", "=", {"Server", "db1"}},
      {"Password=", "=", {"Password"}},
  };
  for (const Case& C : Cases) EXPECT_EQ(SplitText(C.Text, C.Sep), C.Parts) << C.Text;
}

TEST(QxBaseText, ReplaceAllTextIgnoresLetterCase) {
  struct Case {
    std::string Text, Find, Replacement, Result;
  } Cases[] = {
      {"Select * FROM t where SELECT", "select", "S", "S * FROM t where S"},
      {"aaa", "aa", "b", "ba"},
      {"abc", "", "x", "abc"},
      {"abc", "abc", "", ""},
      // Cyrillic letters match across case; the replaced text keeps its neighbours.
      {"\xD0\x9F\xD1\x80\xD0\xB8\xD0\x92\xD0\x95\xD0\xA2 x", "\xD0\xBF\xD1\x80\xD0\x98\xD0\xB2\xD0\xB5\xD1\x82",
       "hi", "hi x"},
      {"\xD1\x91\xD0\x81", "\xD0\x81", "E", "EE"},           // ё and Ё
      {"\xC3\xA9t\xC3\xA9", "\xC3\x89T", "x", "x\xC3\xA9"},  // Latin-1 é / É
      {"a\xFF" "b", "\xFE", "x", "a\xFF" "b"},                  // stray bytes match only themselves
      {"a\xFF" "b", "\xFF", "x", "axb"},
  };
  for (const Case& C : Cases)
    EXPECT_EQ(ReplaceAllText(C.Text, C.Find, C.Replacement), C.Result) << C.Text << " / " << C.Find;
}

TEST(QxBaseIdentifiers, MD5HexMapsUtf16UnitsToBytes) {
  struct Case {
    std::string Text, Digest;
  } Cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"   ", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {" \tabc\r\n", "900150983cd24fb0d6963f7d28e17f72"},
      // Every non-ASCII UTF-16 unit counts as '?': six Cyrillic letters = "??????".
      {"\xD0\x9F\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C", MD5OfBytes("??????")},
      // A character outside the BMP is two UTF-16 units.
      {"a\xF0\x9F\x98\x80" "b", MD5OfBytes("a??b")},
      // A stray byte that is not UTF-8 still counts as one unit.
      {"a\xFF" "b", MD5OfBytes("a?b")},
  };
  for (const Case& C : Cases) EXPECT_EQ(MD5Hex(C.Text), C.Digest) << C.Text;
  // Two texts that differ only in non-ASCII letters share a digest.
  EXPECT_EQ(MD5Hex("\xD0\xB0\xD0\xB1"), MD5Hex("\xD1\x8F\xD1\x8E"));
}

TEST(QxBaseIdentifiers, GuidAndIdForms) {
  const std::regex GuidForm("\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}");
  const std::regex IdForm("[0-9a-f]{32}");
  std::set<std::string> Seen;
  for (int I = 0; I < 1000; ++I) {
    const std::string Guid = NewGuidText();
    ASSERT_TRUE(std::regex_match(Guid, GuidForm)) << Guid;
    const std::string Id = NewID();
    ASSERT_TRUE(std::regex_match(Id, IdForm)) << Id;
    ASSERT_TRUE(Seen.insert(Id).second) << "repeated " << Id;
  }
}

// Sets the program path for one test and restores the real one after it.
class ProgramPath : public ::testing::Test {
 protected:
  void TearDown() override { SetAppFileNameForTesting({}); }
};

TEST_F(ProgramPath, AppDirAndRootDir) {
  struct Case {
    std::string Program, AppDir, RootDir;
  } Cases[] = {
      {"/srv/ordex/OrdexServer", "/srv/ordex/", "/srv/ordex"},
      {"/work/Prog/Server/Linux64/Debug/OrdexServer", "/work/Prog/Server/Linux64/Debug/", "/work"},
      {"/work/Prog/Server/Win32/Release/OrdexServer", "/work/Prog/Server/Win32/Release/", "/work"},
      {"/opt/o/Win64/OrdexServer", "/opt/o/Win64/", "/opt/o"},
      {"/opt/o/Debug/Linux64/OrdexServer", "/opt/o/Debug/Linux64/", "/opt/o/Debug"},  // markers in the wrong order
      {"/opt/o/debug/OrdexServer", "/opt/o/debug/", "/opt/o/debug"},                  // case-sensitive
      {"/a/Prog/b/Prog/OrdexServer", "/a/Prog/b/Prog/", "/a"},                        // the first Prog cuts
      {"/OrdexServer", "/", ""},
  };
  for (const Case& C : Cases) {
    SetAppFileNameForTesting(C.Program);
    EXPECT_EQ(AppDir(), C.AppDir) << C.Program;
    EXPECT_EQ(RootDir(), C.RootDir) << C.Program;
  }
}

TEST_F(ProgramPath, IniFileNameReplacesOnlyTheLastExtension) {
  struct Case {
    std::string Program, Ini;
  } Cases[] = {
      {"/srv/ordex/OrdexServer", "/srv/ordex/OrdexServer.ini"},
      {"/srv/ordex/OrdexServer.exe", "/srv/ordex/OrdexServer.ini"},
      {"/srv/ordex.d/OrdexServer", "/srv/ordex.d/OrdexServer.ini"},
      {"/srv/a.b.c", "/srv/a.b.ini"},
      {"/srv/x.d\\prog", "/srv/x.d\\prog.ini"},
      {"C:prog", "C:prog.ini"},
  };
  for (const Case& C : Cases) {
    SetAppFileNameForTesting(C.Program);
    EXPECT_EQ(IniFileName(), C.Ini) << C.Program;
  }
}

TEST_F(ProgramPath, RealProgramPathIsAbsolute) {
  const std::string Dir = AppDir();
  ASSERT_FALSE(Dir.empty());
  EXPECT_EQ(Dir.front(), '/');
  EXPECT_EQ(Dir.back(), PathSep());
}

TEST(QxBasePaths, NormalizePath) {
  EXPECT_EQ(NormalizePath("oxupload\\2024\\05\\a.bin"), "oxupload/2024/05/a.bin");
  EXPECT_EQ(NormalizePath("/already/fine"), "/already/fine");
}

TEST(QxBaseNumbers, PadLeftText) {
  struct Case {
    std::string Text;
    std::size_t Width;
    std::string Result;
  } Cases[] = {
      {"5", 2, "05"}, {"12", 2, "12"}, {"123", 2, "123"}, {"", 2, "00"}, {"\xD0\xAF", 2, "0\xD0\xAF"},  // one character
      {"\xF0\x9F\x98\x80", 2, "\xF0\x9F\x98\x80"},  // beyond U+FFFF: two UTF-16 units, already wide enough
  };
  for (const Case& C : Cases) EXPECT_EQ(PadLeftText(C.Text, C.Width, '0'), C.Result) << C.Text;
}

TEST(QxBaseNumbers, RoundHalfEvenDecidesOnTheExactValue) {
  struct Case {
    double Value;
    int Decimals;
    double Result;
  } Cases[] = {
      {0.0625, 3, 0.062},    // exact tie: down to even
      {0.1875, 3, 0.188},    // exact tie: up to even
      {-0.0625, 3, -0.062},
      {0.0005, 3, 0.001},    // the double is a hair above the half
      {0.0055, 3, 0.005},    // the double is a hair below the half
      {2.675, 2, 2.67},
      {2.5, 0, 2.0},
      {3.5, 0, 4.0},
      {1e300, 3, 1e300},
  };
  for (const Case& C : Cases) EXPECT_EQ(RoundHalfEven(C.Value, C.Decimals), C.Result) << C.Value;
}

TEST(QxBaseNumbers, ByteSizes) {
  EXPECT_EQ(BytesToMB(1048576), 1.0);
  EXPECT_EQ(BytesToMB(1572864), 1.5);
  EXPECT_EQ(BytesToMB(0), 0.0);
  EXPECT_EQ(BytesToMB(1024), 0.001);           // 0.0009765625
  EXPECT_EQ(BytesToMB(524), 0.0);              // 0.00049972...
  EXPECT_EQ(BytesToKB(64), 0.062);
  EXPECT_EQ(BytesToKB(1536), 1.5);
  EXPECT_EQ(BytesToKB(192), 0.188);
  EXPECT_EQ(BytesToKB(0), 0.0);
  EXPECT_EQ(BytesToKB(1099511627776.0), 1073741824.0);
}

TEST(QxBaseTime, SecondsDiff) {
  const TDateTime Base = 45000.25;
  struct Case {
    TDateTime A, B;
    std::int32_t Seconds;
  } Cases[] = {
      {Base, Base + 1.5, 129600},
      {Base, Base, 0},
      {Base, Base + 1.0 / 86400, 1},
      {Base, Base + 0.999 / 86400, 0},          // truncates
      {0, 30000, INT32_MAX},                    // beyond 32 bits
  };
  for (const Case& C : Cases) {
    EXPECT_EQ(SecondsDiff(C.A, C.B), C.Seconds);
    EXPECT_EQ(SecondsDiff(C.B, C.A), C.Seconds);
  }
}

// A stream buffer that fails after handing out Good bytes.
class TFailingBuf : public std::streambuf {
 public:
  explicit TFailingBuf(std::size_t Good) : FLeft(Good) {}

 protected:
  int_type underflow() override {
    if (FLeft == 0) throw std::runtime_error("device error");
    --FLeft;
    FChar = 'x';
    setg(&FChar, &FChar, &FChar + 1);
    return traits_type::to_int_type(FChar);
  }

 private:
  std::size_t FLeft;
  char FChar = 0;
};

TEST(QxBaseStreams, CopyToMemoryStreamCopiesFromThePosition) {
  for (const std::size_t Size : {0u, 1u, 32767u, 32768u, 32769u, 65536u, 100000u}) {
    std::string Data(Size, '\0');
    for (std::size_t I = 0; I < Size; ++I) Data[I] = static_cast<char>(I * 7);
    std::istringstream In("HEAD" + Data);
    In.seekg(4);
    EXPECT_EQ(CopyToMemoryStream(In), Data) << Size;
  }
}

TEST(QxBaseStreams, CopyToMemoryStreamPassesReadErrorsOn) {
  TFailingBuf Buf(40000);
  std::istream In(&Buf);
  EXPECT_THROW(CopyToMemoryStream(In), EStreamError);
}

}  // namespace
}  // namespace ordex
