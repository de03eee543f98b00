// The JSON records of the document service.
#include "docservice/uOrdexInfo.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <new>
#include <nlohmann/json.hpp>

#include "common/qxBase.h"
#include "common/qxError.h"

namespace ordex {

namespace {

using json = nlohmann::json;

std::string JsonString(const std::string& Text) {
  // Non-ASCII stays UTF-8; bytes that are not UTF-8 become U+FFFD rather than
  // failing the whole record.
  return json(Text).dump(-1, ' ', false, json::error_handler_t::replace);
}

const char* JsonBool(bool Value) noexcept { return Value ? "true" : "false"; }

// Runs an encoder; a failure (only lack of memory is possible) is shown in the
// error window with the encoder's title and gives an empty text.
template <typename F>
std::string Encode(const char* Title, F&& Build) {
  try {
    return Build();
  } catch (const std::exception& E) {
    try {
      ShowErrorWindow(Title, E.what());
    } catch (...) {
      // Deliberately ignored: the report itself failed; the empty result stands.
    }
    return {};
  }
}

// ---------------------------------------------------------------------------
// Decoding

// One scalar of the JSON text as the decoder sees it.
struct TScalar {
  enum class TKind { String, Integer, Unsigned, Float, Boolean } Kind = TKind::String;
  std::string Text;  // the string, or the number's text as written
  std::int64_t Int = 0;
  std::uint64_t UInt = 0;
  double Float = 0;
  bool Bool = false;
};

std::string ScalarAsText(const TScalar& V) {
  switch (V.Kind) {
    case TScalar::TKind::Boolean: return V.Bool ? "true" : "false";
    default: return V.Text;
  }
}

std::int64_t ClampToInt64(double D) noexcept {
  if (std::isnan(D)) return 0;
  if (D >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (D <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(D);  // truncates toward zero
}

// Integers keep their value, floats are truncated, numeric strings are parsed,
// anything else gives 0.
std::int64_t ScalarAsInt64(const TScalar& V) {
  switch (V.Kind) {
    case TScalar::TKind::Integer: return V.Int;
    case TScalar::TKind::Unsigned:
      return V.UInt > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                 ? std::numeric_limits<std::int64_t>::max()
                 : static_cast<std::int64_t>(V.UInt);
    case TScalar::TKind::Float: return ClampToInt64(V.Float);
    case TScalar::TKind::String: {
      const std::string T = Trim(V.Text);
      std::int64_t I = 0;
      const auto [Ptr, Ec] = std::from_chars(T.data(), T.data() + T.size(), I);
      if (Ec == std::errc() && Ptr == T.data() + T.size() && !T.empty()) return I;
      double D = 0;
      const auto [PtrD, EcD] = std::from_chars(T.data(), T.data() + T.size(), D);
      if (EcD == std::errc() && PtrD == T.data() + T.size() && !T.empty()) return ClampToInt64(D);
      return 0;
    }
    case TScalar::TKind::Boolean: return 0;
  }
  return 0;
}

double ScalarAsDouble(const TScalar& V) {
  switch (V.Kind) {
    case TScalar::TKind::Integer: return static_cast<double>(V.Int);
    case TScalar::TKind::Unsigned: return static_cast<double>(V.UInt);
    case TScalar::TKind::Float: return V.Float;
    case TScalar::TKind::String: {
      const std::string T = Trim(V.Text);
      double D = 0;
      const auto [Ptr, Ec] = std::from_chars(T.data(), T.data() + T.size(), D);
      return Ec == std::errc() && Ptr == T.data() + T.size() && std::isfinite(D) ? D : 0;
    }
    case TScalar::TKind::Boolean: return 0;
  }
  return 0;
}

// Booleans keep their value; a number is true when not zero, a string when it
// reads "true" in any letter case.
bool ScalarAsBool(const TScalar& V) {
  switch (V.Kind) {
    case TScalar::TKind::Boolean: return V.Bool;
    case TScalar::TKind::Integer: return V.Int != 0;
    case TScalar::TKind::Unsigned: return V.UInt != 0;
    case TScalar::TKind::Float: return V.Float != 0;
    case TScalar::TKind::String: return LowerCaseAscii(Trim(V.Text)) == "true";
  }
  return false;
}

using TSetter = std::function<void(const TScalar&)>;
using TFieldMap = std::map<std::string, TSetter, std::less<>>;

TSetter TextField(std::string& Field) {
  return [&Field](const TScalar& V) { Field = ScalarAsText(V); };
}
TSetter IntField(std::int64_t& Field) {
  return [&Field](const TScalar& V) { Field = ScalarAsInt64(V); };
}
TSetter BoolField(bool& Field) {
  return [&Field](const TScalar& V) { Field = ScalarAsBool(V); };
}
TSetter FloatField(double& Field) {
  return [&Field](const TScalar& V) { Field = ScalarAsDouble(V); };
}

// Walks the JSON text token by token. Every scalar is offered under the name of
// the member that holds it (for an array element: the member holding the
// array); nested objects and arrays are entered, so the last value of a name
// wins wherever it occurs. Nulls and scalars outside any member are skipped.
class TRecordReader final : public nlohmann::json_sax<json> {
 public:
  explicit TRecordReader(const TFieldMap& Fields) : FFields(Fields) {}

  bool null() override { return true; }
  bool boolean(bool Val) override {
    TScalar V;
    V.Kind = TScalar::TKind::Boolean;
    V.Bool = Val;
    return Offer(V);
  }
  bool number_integer(number_integer_t Val) override {
    TScalar V;
    V.Kind = TScalar::TKind::Integer;
    V.Int = Val;
    V.Text = std::to_string(Val);
    return Offer(V);
  }
  bool number_unsigned(number_unsigned_t Val) override {
    TScalar V;
    V.Kind = TScalar::TKind::Unsigned;
    V.UInt = Val;
    V.Text = std::to_string(Val);
    return Offer(V);
  }
  bool number_float(number_float_t Val, const string_t& Raw) override {
    TScalar V;
    V.Kind = TScalar::TKind::Float;
    V.Float = Val;
    V.Text = Raw;
    return Offer(V);
  }
  bool string(string_t& Val) override {
    TScalar V;
    V.Kind = TScalar::TKind::String;
    V.Text = Val;
    return Offer(V);
  }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return Enter(); }
  bool key(string_t& Val) override {
    FKey = Val;
    return true;
  }
  bool end_object() override { return Leave(); }
  bool start_array(std::size_t) override { return Enter(); }
  bool end_array() override { return Leave(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& Ex) override {
    FError = Ex.what();
    return false;
  }

  const std::string& Error() const noexcept { return FError; }

 private:
  bool Offer(const TScalar& V) {
    const auto It = FFields.find(FKey);
    if (It != FFields.end()) It->second(V);
    return true;
  }
  // Inside a nested value the holding member's name applies until a key of
  // its own is read; after the value it applies again.
  bool Enter() {
    FHolders.push_back(FKey);
    return true;
  }
  bool Leave() {
    if (!FHolders.empty()) {
      FKey = std::move(FHolders.back());
      FHolders.pop_back();
    }
    return true;
  }

  const TFieldMap& FFields;
  std::string FKey;  // "" outside any member; no field has an empty name
  std::vector<std::string> FHolders;
  std::string FError;
};

void ReadRecord(std::string_view Json, const TFieldMap& Fields) {
  TRecordReader Reader(Fields);
  if (!json::sax_parse(Json.begin(), Json.end(), &Reader)) throw EJSONError(Reader.Error());
}

}  // namespace

std::string WriteIndentedJsonObject(const std::vector<std::pair<std::string, std::string>>& Members) {
  if (Members.empty()) return "{}";
  std::string Out = "{\r\n";
  for (std::size_t I = 0; I < Members.size(); ++I) {
    if (I > 0) Out += ",\r\n";
    Out += "    ";
    Out += JsonString(Members[I].first);
    Out += ": ";
    Out += Members[I].second;
  }
  Out += "\r\n}";
  return Out;
}

std::string GetQxSessionInfo(const TQxSessionInfo& Info) {
  return Encode("Функция GetQxSessionInfo. Ошибка выполнения функции.", [&] {
    return WriteIndentedJsonObject({
        {"Login", JsonString(Info.Login)},
        {"UserID", JsonString(Info.UserID)},
        {"PasswdMd5", JsonString(Info.PasswdMd5)},
        {"RoleID", JsonString(Info.RoleID)},
        {"RoleName", JsonString(Info.RoleName)},
        {"Protocol", JsonString(Info.Protocol)},
    });
  });
}

std::string GetQxTreeRights(const TTreeRights& Rights) {
  return Encode("Функция GetQxTreeRights. Ошибка выполнения функции.", [&] {
    return WriteIndentedJsonObject({
        {"TreeID", JsonString(Rights.TreeID)},
        {"UserName", JsonString(Rights.UserName)},
        {"RoleID", JsonString(Rights.RoleID)},
        {"rtree", JsonBool(Rights.RTree)},
        {"wtree", JsonBool(Rights.WTree)},
        {"admtree", JsonBool(Rights.AdmTree)},
        {"rfile", JsonBool(Rights.RFile)},
        {"wfile", JsonBool(Rights.WFile)},
        {"rmyfile", JsonBool(Rights.RMyFile)},
    });
  });
}

TQxSessionInfo DecodeQxSessionInfo(std::string_view Json) {
  TQxSessionInfo R;
  ReadRecord(Json, {
                       {"Login", TextField(R.Login)},
                       {"UserID", TextField(R.UserID)},
                       {"PasswdMd5", TextField(R.PasswdMd5)},
                       {"RoleID", TextField(R.RoleID)},
                       {"RoleName", TextField(R.RoleName)},
                       {"Protocol", TextField(R.Protocol)},
                   });
  return R;
}

TOrdexHistoryInfo DecodeOrdexHistoryInfo(std::string_view Json) {
  TOrdexHistoryInfo R;
  ReadRecord(Json, {
                       {"histid", TextField(R.histid)},
                       {"fileid", TextField(R.fileid)},
                       {"ordnum", IntField(R.ordnum)},
                       {"usercreate", TextField(R.usercreate)},
                       {"md5_file", TextField(R.md5_file)},
                       {"size_file", FloatField(R.size_file)},
                   });
  return R;
}

TOrdexFilter DecodeOrdexFilterJson(std::string_view Json) {
  TOrdexFilter R;
  ReadRecord(Json, {
                       {"IsShowDel", BoolField(R.IsShowDel)},
                       {"IsShowAll", BoolField(R.IsShowAll)},
                       {"CurrentPage", IntField(R.CurrentPage)},
                       {"KolRows", IntField(R.KolRows)},
                       {"IsPreview", BoolField(R.IsPreview)},
                       {"order", TextField(R.order)},
                       {"filter", TextField(R.filter)},
                       {"TreeID", TextField(R.TreeID)},
                       {"FileID", TextField(R.FileID)},
                       {"IsRecursive", BoolField(R.IsRecursive)},
                   });
  return R;
}

}  // namespace ordex
