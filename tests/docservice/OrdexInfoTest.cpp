// The JSON records: encoder bytes, decoder walk and conversions, malformed texts.
#include "docservice/uOrdexInfo.h"

#include <gtest/gtest.h>

#include "common/qxError.h"

namespace ordex {
namespace {

TEST(OrdexInfoEncode, RightsLayoutIsExact) {
  TTreeRights R;
  R.RTree = true;
  R.RFile = true;
  EXPECT_EQ(GetQxTreeRights(R),
            "{\r\n"
            "    \"TreeID\": \"\",\r\n"
            "    \"UserName\": \"\",\r\n"
            "    \"RoleID\": \"\",\r\n"
            "    \"rtree\": true,\r\n"
            "    \"wtree\": false,\r\n"
            "    \"admtree\": false,\r\n"
            "    \"rfile\": true,\r\n"
            "    \"wfile\": false,\r\n"
            "    \"rmyfile\": false\r\n"
            "}");
}

TEST(OrdexInfoEncode, SessionLayoutAndEscapes) {
  TQxSessionInfo S;
  S.Login = "ivan \"the\" \\ \xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD";  // non-ASCII stays UTF-8
  S.UserID = "u1";
  S.PasswdMd5 = "abc";
  S.RoleID = "-1";
  S.RoleName = "tab\there\r\nnew";
  S.Protocol = "tcp/ip";
  S.SessionStart = 45000.5;
  EXPECT_EQ(GetQxSessionInfo(S),
            "{\r\n"
            "    \"Login\": \"ivan \\\"the\\\" \\\\ \xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\",\r\n"
            "    \"UserID\": \"u1\",\r\n"
            "    \"PasswdMd5\": \"abc\",\r\n"
            "    \"RoleID\": \"-1\",\r\n"
            "    \"RoleName\": \"tab\\there\\r\\nnew\",\r\n"
            "    \"Protocol\": \"tcp/ip\"\r\n"
            "}");
}

TEST(OrdexInfoEncode, SessionRoundTripKeepsAllButTheStart) {
  TQxSessionInfo S{"\xC3\xA9l\xC3\xA8ve", "u", "d41d8cd98f00b204e9800998ecf8427e", "1", "Админ", "http", 45000.5};
  const TQxSessionInfo Back = DecodeQxSessionInfo(GetQxSessionInfo(S));
  EXPECT_EQ(Back.Login, S.Login);
  EXPECT_EQ(Back.UserID, S.UserID);
  EXPECT_EQ(Back.PasswdMd5, S.PasswdMd5);
  EXPECT_EQ(Back.RoleID, S.RoleID);
  EXPECT_EQ(Back.RoleName, S.RoleName);
  EXPECT_EQ(Back.Protocol, S.Protocol);
  EXPECT_EQ(Back.SessionStart, 0);
}

TEST(OrdexInfoEncode, InvalidUtf8DoesNotFailTheRecord) {
  TQxSessionInfo S;
  S.Login = "a\xFF" "b";
  const std::string Json = GetQxSessionInfo(S);
  ASSERT_FALSE(Json.empty());
  EXPECT_EQ(DecodeQxSessionInfo(Json).Login, "a\xEF\xBF\xBD" "b");
}

TEST(OrdexInfoDecode, SessionCases) {
  struct Case {
    const char* Json;
    const char* Login;
    const char* RoleID;
  } Cases[] = {
      {"{}", "", ""},
      {R"({"Login":"ann"})", "ann", ""},
      {R"({"login":"ann","LOGIN":"x","RoleID":"1"})", "", "1"},             // names are case-sensitive
      {R"({"Login":"a","Login":"b"})", "b", ""},                            // the last value wins
      {R"({"Login":"a","x":{"Login":"inner"}})", "inner", ""},              // also inside nested objects
      {R"({"x":[{"Login":"one"},{"Login":"two"}],"RoleID":"5"})", "two", "5"},
      {R"({"Login":["p","q"]})", "q", ""},                                  // array elements belong to their member
      {R"({"Login":[{"k":1},"after"]})", "after", ""},                     // the member applies again after a nested object
      {R"({"o":{"Login":"in"},"RoleID":7})", "in", "7"},                    // a number for a text field gives its text
      {R"({"Login":true,"RoleID":1.50})", "true", "1.50"},
      {R"({"Login":"kept","Login":null})", "kept", ""},                     // null is skipped
      {R"(["Login","x"])", "", ""},                                          // scalars outside a member are skipped
  };
  for (const Case& C : Cases) {
    const TQxSessionInfo S = DecodeQxSessionInfo(C.Json);
    EXPECT_EQ(S.Login, C.Login) << C.Json;
    EXPECT_EQ(S.RoleID, C.RoleID) << C.Json;
  }
}

TEST(OrdexInfoDecode, FilterFieldsAndConversions) {
  const TOrdexFilter F = DecodeOrdexFilterJson(
      R"({"IsShowDel":true,"IsShowAll":false,"CurrentPage":3,"IsPreview":true,"order":"name desc",
          "filter":"ext='pdf'","TreeID":"t1","FileID":"","IsRecursive":true,"treeid":"ignored"})");
  EXPECT_TRUE(F.IsShowDel);
  EXPECT_FALSE(F.IsShowAll);
  EXPECT_EQ(F.CurrentPage, 3);
  EXPECT_EQ(F.KolRows, 0);  // missing key
  EXPECT_TRUE(F.IsPreview);
  EXPECT_TRUE(F.IsRecursive);
  EXPECT_EQ(F.order, "name desc");
  EXPECT_EQ(F.filter, "ext='pdf'");
  EXPECT_EQ(F.TreeID, "t1");
  EXPECT_EQ(F.FileID, "");

  struct Case {
    const char* Json;
    std::int64_t KolRows;
  } Ints[] = {
      {R"({"KolRows":50})", 50},
      {R"({"KolRows":-7})", -7},
      {R"({"KolRows":12.9})", 12},                 // truncated
      {R"({"KolRows":"25"})", 25},                 // numeric text
      {R"({"KolRows":"2x"})", 0},
      {R"({"KolRows":true})", 0},
      {R"({"KolRows":18446744073709551615})", INT64_MAX},
      {R"({"KolRows":1e300})", INT64_MAX},
  };
  for (const Case& C : Ints) EXPECT_EQ(DecodeOrdexFilterJson(C.Json).KolRows, C.KolRows) << C.Json;
}

TEST(OrdexInfoDecode, HistoryFields) {
  const TOrdexHistoryInfo H = DecodeOrdexHistoryInfo(
      R"({"histid":"h1","fileid":"f1","ordnum":4,"usercreate":"ann","md5_file":"ab","size_file":1536,
          "datecreate":"2024-01-01"})");
  EXPECT_EQ(H.histid, "h1");
  EXPECT_EQ(H.fileid, "f1");
  EXPECT_EQ(H.ordnum, 4);
  EXPECT_EQ(H.usercreate, "ann");
  EXPECT_EQ(H.md5_file, "ab");
  EXPECT_EQ(H.size_file, 1536.0);
  EXPECT_EQ(H.datecreate, 0);  // dates are not read from JSON
  EXPECT_EQ(DecodeOrdexHistoryInfo(R"({"size_file":2.5e3})").size_file, 2500.0);
}

TEST(OrdexInfoDecode, MalformedJsonThrowsTheParserMessage) {
  for (const char* Bad : {"", "{", R"({"Login":})", R"({"Login":"a",})", "{} x", "{'Login':'a'}", "nul"}) {
    try {
      DecodeQxSessionInfo(Bad);
      ADD_FAILURE() << "accepted " << Bad;
    } catch (const EJSONError& E) {
      EXPECT_NE(std::string(E.what()).find("parse error"), std::string::npos) << E.what();
    }
  }
  // Deep nesting is walked without recursion.
  const std::string Deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_NO_THROW(DecodeOrdexFilterJson(Deep));
}

TEST(OrdexInfoEncode, WriterOfTheSharedLayout) {
  EXPECT_EQ(WriteIndentedJsonObject({{"a", "1"}}), "{\r\n    \"a\": 1\r\n}");
  EXPECT_EQ(WriteIndentedJsonObject({}), "{}");
}

}  // namespace
}  // namespace ordex
