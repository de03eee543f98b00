// Frame codec and value conversions: the byte layout, limits, and the strict
// JSON forms of argument values.
#include <gtest/gtest.h>

#include <cstring>

#include "common/qxError.h"
#include "platform/rpc/Frame.h"
#include "platform/rpc/MethodTable.h"
#include "platform/rpc/RpcValue.h"

namespace ordex::rpc {
namespace {

using nlohmann::json;

std::string Prefix(std::string_view Magic, std::uint8_t Version, std::uint32_t H, std::uint32_t N,
                   char Reserved = 0) {
  std::string P(Magic);
  P.push_back(static_cast<char>(Version));
  P.append(2, '\0');
  P.push_back(Reserved);
  for (int I = 0; I < 4; ++I) P.push_back(static_cast<char>((H >> (8 * I)) & 0xFF));
  for (int I = 0; I < 4; ++I) P.push_back(static_cast<char>((N >> (8 * I)) & 0xFF));
  return P;
}
std::string U64(std::uint64_t V) {
  std::string S;
  for (int I = 0; I < 8; ++I) S.push_back(static_cast<char>((V >> (8 * I)) & 0xFF));
  return S;
}

TEST(Frame, LayoutIsLittleEndianAndRoundTrips) {
  const std::vector<std::string> Blobs = {"abc", "", std::string(3000, 'x')};
  const std::string Bytes = EncodeFrame(R"({"op":"x"})", Blobs);
  EXPECT_EQ(Bytes.substr(0, 16), Prefix("ORDX", 1, 10, 3));
  EXPECT_EQ(Bytes.substr(16, 8), U64(3));
  EXPECT_EQ(Bytes.size(), 16 + 24 + 10 + 3003u);

  const TFrame Whole = DecodeFrame(Bytes);
  EXPECT_EQ(Whole.Header, R"({"op":"x"})");
  EXPECT_EQ(Whole.Blobs, Blobs);

  // Byte by byte, as a slow network delivers it, then a second frame behind it.
  TFrameReader Reader;
  const std::string Two = Bytes + EncodeFrame("{}", {});
  std::size_t Pos = 0;
  while (!Reader.Done()) Pos += Reader.Feed(Two.data() + Pos, 1);
  EXPECT_EQ(Reader.Take().Blobs, Blobs);
  Pos += Reader.Feed(Two.data() + Pos, Two.size() - Pos);
  ASSERT_TRUE(Reader.Done());
  EXPECT_EQ(Pos, Two.size());
  EXPECT_EQ(Reader.Take().Header, "{}");
}

TEST(Frame, BrokenLayoutsAndLimitsAreRefused) {
  TFrameLimits Small;
  Small.MaxHeader = 100;
  Small.MaxFrame = 1000;
  Small.MaxBlobs = 4;
  const struct {
    const char* Name;
    std::string Bytes;
  } Cases[] = {
      {"wrong magic", Prefix("ORDY", 1, 2, 0) + "{}"},
      {"wrong version", Prefix("ORDX", 2, 2, 0) + "{}"},
      {"reserved byte", Prefix("ORDX", 1, 2, 0, 7) + "{}"},
      {"empty header", Prefix("ORDX", 1, 0, 0)},
      {"header over limit", Prefix("ORDX", 1, 101, 0)},
      {"too many blobs", Prefix("ORDX", 1, 2, 5)},
      {"more than 64 blobs", Prefix("ORDX", 1, 2, 65)},
      {"blob over frame limit", Prefix("ORDX", 1, 2, 1) + U64(990)},
      {"huge blob length", Prefix("ORDX", 1, 2, 2) + U64(~0ull) + U64(~0ull)},
      {"truncated header", Prefix("ORDX", 1, 10, 0) + "{}"},
      {"truncated blob", Prefix("ORDX", 1, 2, 1) + U64(10) + "{}" + "abc"},
      {"trailing bytes", Prefix("ORDX", 1, 2, 0) + "{}" + "x"},
      {"not even a prefix", "ORD"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    EXPECT_THROW(DecodeFrame(C.Bytes, Small), EStreamError);
  }
  // A stray client is refused on its first wrong byte.
  TFrameReader Reader;
  EXPECT_THROW(Reader.Feed("GET ", 4), EStreamError);
}

TEST(Frame, HeaderMustBeAShallowJsonObject) {
  EXPECT_EQ(ParseHeader(R"({"a":[1,{"b":2}]})")["a"][1]["b"], 2);
  for (const char* Bad : {"[1]", "\"x\"", "{", "", "{\"a\":\"\xff\"}"}) {
    SCOPED_TRACE(Bad);
    EXPECT_THROW(ParseHeader(Bad), EJSONError);
  }
  EXPECT_THROW(ParseHeader("{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}"), EJSONError);
  // Brackets inside strings do not count.
  EXPECT_NO_THROW(ParseHeader("{\"a\":\"" + std::string(100, '[') + "\"}"));
}

TEST(Base64, RoundTripsAndRefusesGarbage) {
  for (const std::string& S : std::vector<std::string>{"", "a", "ab", "abc", "user:0123abcd", std::string("\0\xff\x10", 3)}) {
    std::string Back;
    ASSERT_TRUE(Base64Decode(Base64Encode(S), Back));
    EXPECT_EQ(Back, S);
  }
  EXPECT_EQ(Base64Encode("admin:pw"), "YWRtaW46cHc=");
  std::string Out;
  for (const char* Bad : {"abc", "a===", "ab=c", "****"}) EXPECT_FALSE(Base64Decode(Bad, Out)) << Bad;
}

TEST(RpcValue, JsonFormsAreCheckedStrictly) {
  const std::vector<std::string> Blobs = {"bytes"};
  const json Ok[][3] = {
      {"Int32", 2147483647, 2147483647},
      {"Int32", -2147483648LL, -2147483648LL},
      {"Int64", 9223372036854775807LL, 9223372036854775807LL},
      {"Float", 1.5, 1.5},
      {"Float", 3, 3.0},
  };
  for (const auto& C : Ok) {
    const auto Type = C[0] == "Int32" ? TRpcType::Int32 : C[0] == "Int64" ? TRpcType::Int64 : TRpcType::Float;
    std::vector<std::string> Out;
    EXPECT_EQ(ValueToJson(ValueFromJson(C[1], Type, "P", Blobs), Out), C[2]);
  }
  const struct {
    TRpcType Type;
    json Value;
  } Bad[] = {
      {TRpcType::Int32, 2147483648LL},
      {TRpcType::Int32, -2147483649LL},
      {TRpcType::Int64, 9223372036854775808ULL},
      {TRpcType::Int64, 1.5},
      {TRpcType::Int32, "1"},
      {TRpcType::Text, 1},
      {TRpcType::Boolean, 0},
      {TRpcType::Float, "1.0"},
      {TRpcType::DateTime, "2024-02-30T00:00:00.000"},
      {TRpcType::DateTime, "2024-01-01 10:00:00.000"},
      {TRpcType::DateTime, "2024-01-01T24:00:00"},
      {TRpcType::DateTime, "2024-01-01T10:00:00.0000"},
      {TRpcType::DateTime, "2024-01-01"},
      {TRpcType::Stream, json{{"$blob", 1}}},
      {TRpcType::Stream, json{{"$blob", -1}}},
      {TRpcType::Stream, json{{"$blob", "0"}}},
      {TRpcType::Stream, "bytes"},
  };
  for (const auto& C : Bad) {
    SCOPED_TRACE(C.Value.dump());
    try {
      ValueFromJson(C.Value, C.Type, "Param", Blobs);
      ADD_FAILURE() << "accepted";
    } catch (const EArgumentError& E) {
      EXPECT_NE(std::string(E.what()).find("\"Param\""), std::string::npos) << E.what();
    }
  }
}

TEST(RpcValue, DateTimeAndStreamForms) {
  std::vector<std::string> Out;
  const std::vector<std::string> Blobs = {"zero", "one"};
  const auto D = ValueFromJson("2024-03-05T07:08:09.123", TRpcType::DateTime, "D", Blobs);
  EXPECT_EQ(ValueToJson(TRpcValue(D), Out), "2024-03-05T07:08:09.123");
  EXPECT_EQ(ValueToJson(ValueFromJson("2024-03-05T07:08:09", TRpcType::DateTime, "D", Blobs), Out),
            "2024-03-05T07:08:09.000");
  EXPECT_EQ(std::get<TRpcStream>(ValueFromJson(json{{"$blob", 1}}, TRpcType::Stream, "S", Blobs)).Bytes, "one");
  EXPECT_FALSE(std::get<TRpcStream>(ValueFromJson(nullptr, TRpcType::Stream, "S", Blobs)).Bytes);
  EXPECT_EQ(ValueToJson(TRpcStream{"abc"}, Out), json({{"$blob", 0}}));
  EXPECT_EQ(ValueToJson(TRpcStream{}, Out), nullptr);
  EXPECT_EQ(Out, std::vector<std::string>{"abc"});
  EXPECT_THROW(ValueToJson(TRpcDateTime{1e12}, Out), EConvertError);
}

TEST(MethodTable, ArgumentsByPositionAndByName) {
  TRpcMethod M{"M", {In("A", TRpcType::Int32), Out("O", TRpcType::Text), Var("V", TRpcType::Text)}, std::nullopt, {}};
  const auto Check = [&](const json& Args) {
    const auto V = BindArguments(M, Args, {});
    EXPECT_EQ(std::get<std::int32_t>(V[0]), 7);
    EXPECT_EQ(std::get<std::string>(V[2]), "v");
  };
  Check(json::array({7, "v"}));                 // in and var only
  Check(json::array({7, nullptr, "v"}));        // every parameter, out ignored
  Check(json{{"A", 7}, {"V", "v"}});
  Check(json{{"A", 7}, {"V", "v"}, {"O", 1}});  // out names are ignored
  for (const json& Bad : {json::array({7}), json{{"A", 7}}, json{{"A", 7}, {"V", "v"}, {"a", 1}}, json("x"),
                          json(nullptr)}) {
    SCOPED_TRACE(Bad.dump());
    EXPECT_THROW(BindArguments(M, Bad, {}), EArgumentError);
  }
  TRpcClass C("C", [] { return nullptr; });
  EXPECT_THROW(C.AddMethod({"Dup", {In("X", TRpcType::Text), Out("X", TRpcType::Text)}, std::nullopt, {}}),
               EArgumentError);
  EXPECT_THROW(C.AddMethod({"Res", {Out("ReturnValue", TRpcType::Text)}, std::nullopt, {}}), EArgumentError);
}

}  // namespace
}  // namespace ordex::rpc
