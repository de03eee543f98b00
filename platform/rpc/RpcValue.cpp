#include "platform/rpc/RpcValue.h"

#include <cmath>
#include <limits>

#include "common/qxError.h"

namespace ordex::rpc {

namespace {

using nlohmann::json;

[[noreturn]] void BadArgument(std::string_view Name, const std::string& Why) {
  throw EArgumentError("Parameter \"" + std::string(Name) + "\": " + Why);
}

template <class TInt>
TInt IntegerFromJson(const json& J, std::string_view Name) {
  if (J.is_number_unsigned()) {
    const auto V = J.get<std::uint64_t>();
    if (V > static_cast<std::uint64_t>(std::numeric_limits<TInt>::max())) BadArgument(Name, "integer out of range");
    return static_cast<TInt>(V);
  }
  if (J.is_number_integer()) {
    const auto V = J.get<std::int64_t>();
    if (V < std::numeric_limits<TInt>::min() || V > std::numeric_limits<TInt>::max())
      BadArgument(Name, "integer out of range");
    return static_cast<TInt>(V);
  }
  BadArgument(Name, "an integer number expected");
}

// Days since 1899-12-30 of 0001-01-01 and 9999-12-31 (inclusive), the range
// a date-time text can express.
constexpr double MinDateTime = -693593.0;
constexpr double MaxDateTime = 2958466.0;

int Digits(std::string_view Text, std::size_t Pos, std::size_t Count) {
  int V = 0;
  for (std::size_t I = Pos; I < Pos + Count; ++I) {
    if (Text[I] < '0' || Text[I] > '9') throw EConvertError("Bad date-time text: \"" + std::string(Text) + "\"");
    V = V * 10 + (Text[I] - '0');
  }
  return V;
}

}  // namespace

const char* TypeName(TRpcType Type) noexcept {
  switch (Type) {
    case TRpcType::Text: return "Text";
    case TRpcType::Boolean: return "Boolean";
    case TRpcType::Int32: return "Int32";
    case TRpcType::Int64: return "Int64";
    case TRpcType::Float: return "Float";
    case TRpcType::DateTime: return "DateTime";
    case TRpcType::Stream: return "Stream";
  }
  return "?";
}

TRpcValue DefaultValue(TRpcType Type) {
  switch (Type) {
    case TRpcType::Text: return std::string();
    case TRpcType::Boolean: return false;
    case TRpcType::Int32: return std::int32_t{0};
    case TRpcType::Int64: return std::int64_t{0};
    case TRpcType::Float: return 0.0;
    case TRpcType::DateTime: return TRpcDateTime{};
    case TRpcType::Stream: return TRpcStream{};
  }
  return {};
}

TRpcValue CoerceValue(TRpcValue V, TRpcType Type, std::string_view Name) {
  const auto Mismatch = [&]() -> TRpcValue {
    throw EArgumentError("Value of \"" + std::string(Name) + "\" does not match its type " + TypeName(Type));
  };
  switch (Type) {
    case TRpcType::Text:
      return std::holds_alternative<std::string>(V) ? std::move(V) : Mismatch();
    case TRpcType::Boolean:
      return std::holds_alternative<bool>(V) ? std::move(V) : Mismatch();
    case TRpcType::Int32:
      return std::holds_alternative<std::int32_t>(V) ? std::move(V) : Mismatch();
    case TRpcType::Int64:
      if (const auto* I = std::get_if<std::int32_t>(&V)) return std::int64_t{*I};
      return std::holds_alternative<std::int64_t>(V) ? std::move(V) : Mismatch();
    case TRpcType::Float:
      if (const auto* I = std::get_if<std::int32_t>(&V)) return static_cast<double>(*I);
      if (const auto* I = std::get_if<std::int64_t>(&V)) return static_cast<double>(*I);
      return std::holds_alternative<double>(V) ? std::move(V) : Mismatch();
    case TRpcType::DateTime:
      return std::holds_alternative<TRpcDateTime>(V) ? std::move(V) : Mismatch();
    case TRpcType::Stream:
      return std::holds_alternative<TRpcStream>(V) ? std::move(V) : Mismatch();
  }
  return Mismatch();
}

TRpcValue ValueFromJson(const json& J, TRpcType Type, std::string_view Name, const std::vector<std::string>& Blobs) {
  switch (Type) {
    case TRpcType::Text:
      if (!J.is_string()) BadArgument(Name, "a text expected");
      return J.get<std::string>();
    case TRpcType::Boolean:
      if (!J.is_boolean()) BadArgument(Name, "true or false expected");
      return J.get<bool>();
    case TRpcType::Int32:
      return IntegerFromJson<std::int32_t>(J, Name);
    case TRpcType::Int64:
      return IntegerFromJson<std::int64_t>(J, Name);
    case TRpcType::Float:
      if (!J.is_number()) BadArgument(Name, "a number expected");
      return J.get<double>();
    case TRpcType::DateTime:
      if (!J.is_string()) BadArgument(Name, "a date-time text expected");
      try {
        return TRpcDateTime{WireToDateTime(J.get_ref<const std::string&>())};
      } catch (const EConvertError& E) {
        BadArgument(Name, E.what());
      }
    case TRpcType::Stream: {
      const auto I = BlobIndexFromJson(J, Name, Blobs.size());
      if (!I) return TRpcStream{};
      return TRpcStream{Blobs[*I]};
    }
  }
  BadArgument(Name, "unknown type");
}

std::optional<std::size_t> BlobIndexFromJson(const json& J, std::string_view Name, std::size_t BlobCount) {
  if (J.is_null()) return std::nullopt;
  const auto It = J.is_object() && J.size() == 1 ? J.find("$blob") : J.end();
  if (It == J.end()) BadArgument(Name, "{\"$blob\": N} or null expected");
  if (!It->is_number_integer()) BadArgument(Name, "blob index must be an integer");
  const auto I = It->get<std::int64_t>();
  if (I < 0 || static_cast<std::uint64_t>(I) >= BlobCount) BadArgument(Name, "blob index out of range");
  return static_cast<std::size_t>(I);
}

json ValueToJson(TRpcValue&& V, std::vector<std::string>& Blobs) {
  return std::visit(
      [&](auto&& X) -> json {
        using T = std::decay_t<decltype(X)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return nullptr;
        } else if constexpr (std::is_same_v<T, TRpcDateTime>) {
          return DateTimeToWire(X.Value);
        } else if constexpr (std::is_same_v<T, TRpcStream>) {
          if (!X.Bytes) return nullptr;
          Blobs.push_back(std::move(*X.Bytes));
          return json{{"$blob", Blobs.size() - 1}};
        } else if constexpr (std::is_same_v<T, std::string>) {
          return std::move(X);
        } else {
          return X;
        }
      },
      std::move(V));
}

std::string DateTimeToWire(TDateTime Value) {
  if (!std::isfinite(Value) || Value < MinDateTime || Value >= MaxDateTime)
    throw EConvertError("Date-time value out of range");
  return DateTimeToText(Value, 'T');
}

TDateTime WireToDateTime(std::string_view Text) {
  // YYYY-MM-DDTHH:MM:SS[.f{1,3}]
  const auto Bad = [&]() -> TDateTime { throw EConvertError("Bad date-time text: \"" + std::string(Text) + "\""); };
  if (Text.size() < 19 || Text.size() == 20 || Text.size() > 23) return Bad();
  if (Text[4] != '-' || Text[7] != '-' || Text[10] != 'T' || Text[13] != ':' || Text[16] != ':') return Bad();
  TDateTimeParts P;
  P.Year = Digits(Text, 0, 4);
  P.Month = Digits(Text, 5, 2);
  P.Day = Digits(Text, 8, 2);
  P.Hour = Digits(Text, 11, 2);
  P.Minute = Digits(Text, 14, 2);
  P.Second = Digits(Text, 17, 2);
  if (Text.size() > 19) {
    if (Text[19] != '.') return Bad();
    const std::size_t Count = Text.size() - 20;
    P.Millisecond = Digits(Text, 20, Count);
    for (std::size_t I = Count; I < 3; ++I) P.Millisecond *= 10;
  }
  if (P.Year < 1 || P.Month < 1 || P.Month > 12 || P.Day < 1 || P.Day > 31 || P.Hour > 23 || P.Minute > 59 ||
      P.Second > 59)
    return Bad();
  return EncodeDateTime(P);  // also refuses days past the month's end
}

}  // namespace ordex::rpc
