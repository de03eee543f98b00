#include "platform/db/DbValue.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "common/qxDateTime.h"
#include "common/qxError.h"
#include "platform/db/ValueText.h"

namespace ordex::db {

namespace {

const char* TypeName(TFieldType Type) noexcept {
  switch (Type) {
    case TFieldType::Unknown: return "Unknown";
    case TFieldType::Text: return "Text";
    case TFieldType::Int32: return "Int32";
    case TFieldType::Int64: return "Int64";
    case TFieldType::Float: return "Float";
    case TFieldType::Boolean: return "Boolean";
    case TFieldType::DateTime: return "DateTime";
    case TFieldType::Blob: return "Blob";
    case TFieldType::Decimal: return "Decimal";
  }
  return "?";
}

// A value of Type has no reading as What ("an integer", "a number", ...).
[[noreturn]] void NotA(TFieldType Type, const char* What) {
  throw EConvertError(std::string("A ") + TypeName(Type) + " value is not " + What);
}

bool IsBlank(char C) noexcept { return static_cast<unsigned char>(C) <= 32; }

std::string_view TrimView(std::string_view S) noexcept {
  while (!S.empty() && IsBlank(S.front())) S.remove_prefix(1);
  while (!S.empty() && IsBlank(S.back())) S.remove_suffix(1);
  return S;
}

[[noreturn]] void NotConvertible(std::string_view Text, const char* What) {
  throw EConvertError("'" + std::string(Text.substr(0, 64)) + "' is not a valid " + What);
}

// A finite value that a 64-bit integer holds once its fraction is dropped.
bool InInt64Range(double V) noexcept {
  return std::isfinite(V) && V >= -9.2233720368547758e18 && V < 9.2233720368547758e18;
}

std::int64_t ParseInt(std::string_view Text) {
  const std::string_view S = TrimView(Text);
  std::string_view Digits = S;
  if (!Digits.empty() && Digits.front() == '+') Digits.remove_prefix(1);
  std::int64_t V = 0;
  const auto [Ptr, Ec] = std::from_chars(Digits.data(), Digits.data() + Digits.size(), V);
  if (Ec == std::errc() && Ptr == Digits.data() + Digits.size() && !Digits.empty()) return V;
  // "12.0" and "1e3" are integers too, when they are whole and in range.
  if (Ec != std::errc::result_out_of_range) {
    double D = 0;
    const auto [P2, E2] = std::from_chars(Digits.data(), Digits.data() + Digits.size(), D);
    if (E2 == std::errc() && P2 == Digits.data() + Digits.size() && InInt64Range(D) && D == std::trunc(D))
      return static_cast<std::int64_t>(D);
  }
  NotConvertible(Text, "integer value");
}

double ParseFloat(std::string_view Text) {
  std::string_view S = TrimView(Text);
  if (!S.empty() && S.front() == '+') S.remove_prefix(1);
  double V = 0;
  const auto [Ptr, Ec] = std::from_chars(S.data(), S.data() + S.size(), V);
  if (Ec != std::errc() || Ptr != S.data() + S.size() || S.empty())
    NotConvertible(Text, "floating point value");
  return V;
}

bool ParseBool(std::string_view Text) {
  const std::string_view S = TrimView(Text);
  if (SameName(S, "true") || S == "1") return true;
  if (SameName(S, "false") || S == "0") return false;
  NotConvertible(Text, "Boolean value");
}

std::string FloatText(double V, std::chars_format Format) {
  char Buf[400];
  const auto [Ptr, Ec] = std::to_chars(Buf, Buf + sizeof Buf, V, Format);
  if (Ec != std::errc()) throw EConvertError("Floating point value does not fit in text");
  return std::string(Buf, Ptr);
}

std::int64_t WholeNumber(double V, const char* What) {
  if (!InInt64Range(V) || V != std::trunc(V))
    throw EConvertError(FloatText(V, std::chars_format::general) + " is not a valid " + What);
  return static_cast<std::int64_t>(V);
}

std::int32_t CheckInt32(std::int64_t V) {
  if (V < std::numeric_limits<std::int32_t>::min() || V > std::numeric_limits<std::int32_t>::max())
    throw EConvertError(std::to_string(V) + " is out of the range of a 32-bit integer");
  return static_cast<std::int32_t>(V);
}

using detail::IsPlainDecimal;

}  // namespace

bool detail::IsPlainDecimal(std::string_view S) noexcept {
  if (!S.empty() && (S.front() == '-' || S.front() == '+')) S.remove_prefix(1);
  std::size_t Digits = 0, I = 0;
  while (I < S.size() && S[I] >= '0' && S[I] <= '9') ++I, ++Digits;
  if (I < S.size() && S[I] == '.') {
    ++I;
    while (I < S.size() && S[I] >= '0' && S[I] <= '9') ++I, ++Digits;
  }
  return Digits > 0 && I == S.size();
}

TValue TValue::Null(TFieldType Type) {
  TValue V;
  V.FType = Type;
  return V;
}
TValue TValue::Text(std::string V) {
  TValue R;
  R.FType = TFieldType::Text, R.FNull = false, R.FStr = std::move(V);
  return R;
}
TValue TValue::Int32(std::int32_t V) {
  TValue R;
  R.FType = TFieldType::Int32, R.FNull = false, R.FInt = V;
  return R;
}
TValue TValue::Int64(std::int64_t V) {
  TValue R;
  R.FType = TFieldType::Int64, R.FNull = false, R.FInt = V;
  return R;
}
TValue TValue::Float(double V) {
  TValue R;
  R.FType = TFieldType::Float, R.FNull = false, R.FFloat = V;
  return R;
}
TValue TValue::Boolean(bool V) {
  TValue R;
  R.FType = TFieldType::Boolean, R.FNull = false, R.FInt = V ? 1 : 0;
  return R;
}
TValue TValue::DateTime(double V) {
  TValue R;
  R.FType = TFieldType::DateTime, R.FNull = false, R.FFloat = V;
  return R;
}
TValue TValue::Blob(std::string V) {
  TValue R;
  R.FType = TFieldType::Blob, R.FNull = false, R.FStr = std::move(V);
  return R;
}
TValue TValue::Decimal(std::string V) {
  TValue R;
  R.FType = TFieldType::Decimal, R.FNull = false, R.FStr = std::move(V);
  return R;
}

std::string TValue::AsString() const {
  if (FNull) return {};
  switch (FType) {
    case TFieldType::Text:
    case TFieldType::Blob:
    case TFieldType::Decimal: return FStr;
    case TFieldType::Int32:
    case TFieldType::Int64: return std::to_string(FInt);
    case TFieldType::Float: return FloatText(FFloat, std::chars_format::general);
    case TFieldType::Boolean: return FInt ? "True" : "False";
    case TFieldType::DateTime: {
      std::string S = DateTimeToText(FFloat, ' ');
      if (S.size() > 4 && S.compare(S.size() - 4, 4, ".000") == 0) S.resize(S.size() - 4);
      return S;
    }
    case TFieldType::Unknown: break;
  }
  return {};
}

std::int64_t TValue::AsInt64() const {
  if (FNull) return 0;
  switch (FType) {
    case TFieldType::Int32:
    case TFieldType::Int64:
    case TFieldType::Boolean: return FInt;
    case TFieldType::Float:
    case TFieldType::DateTime: {
      const double R = std::round(FFloat);
      if (!InInt64Range(R))
        throw EConvertError(FloatText(FFloat, std::chars_format::general) + " is not a valid integer value");
      return static_cast<std::int64_t>(R);
    }
    case TFieldType::Text:
    case TFieldType::Decimal: return ParseInt(FStr);
    case TFieldType::Blob:
    case TFieldType::Unknown: break;
  }
  NotA(FType, "an integer");
}

double TValue::AsFloat() const {
  if (FNull) return 0;
  switch (FType) {
    case TFieldType::Int32:
    case TFieldType::Int64:
    case TFieldType::Boolean: return static_cast<double>(FInt);
    case TFieldType::Float:
    case TFieldType::DateTime: return FFloat;
    case TFieldType::Text:
    case TFieldType::Decimal: return ParseFloat(FStr);
    case TFieldType::Blob:
    case TFieldType::Unknown: break;
  }
  NotA(FType, "a number");
}

bool TValue::AsBoolean() const {
  if (FNull) return false;
  switch (FType) {
    case TFieldType::Int32:
    case TFieldType::Int64:
    case TFieldType::Boolean: return FInt != 0;
    case TFieldType::Float:
    case TFieldType::DateTime: return FFloat != 0;
    case TFieldType::Text: return ParseBool(FStr);
    case TFieldType::Decimal: return ParseFloat(FStr) != 0;
    case TFieldType::Blob:
    case TFieldType::Unknown: break;
  }
  NotA(FType, "a Boolean");
}

double TValue::AsDateTime() const {
  if (FNull) return 0;
  switch (FType) {
    case TFieldType::Text: return TextToDateTime(TrimView(FStr));
    case TFieldType::Blob:
    case TFieldType::Unknown:
    case TFieldType::Boolean: break;
    default: return AsFloat();
  }
  NotA(FType, "a date-time");
}

TValue TValue::ConvertTo(TFieldType Target) const {
  if (FNull) return Null(Target);
  if (Target == FType || Target == TFieldType::Unknown) return *this;
  switch (Target) {
    case TFieldType::Text: return Text(AsString());
    case TFieldType::Int32:
    case TFieldType::Int64: {
      std::int64_t V = 0;
      if (FType == TFieldType::Float || FType == TFieldType::DateTime)
        V = WholeNumber(FFloat, "integer value");  // never drop a fraction silently
      else
        V = AsInt64();
      return Target == TFieldType::Int32 ? Int32(CheckInt32(V)) : Int64(V);
    }
    case TFieldType::Float: return Float(AsFloat());
    case TFieldType::Boolean: return Boolean(AsBoolean());
    case TFieldType::DateTime: {
      const double D = AsDateTime();
      if (!std::isfinite(D)) throw EConvertError("Not a valid date-time");
      return DateTime(D);
    }
    case TFieldType::Blob:
      if (FType == TFieldType::Text || FType == TFieldType::Decimal) return Blob(FStr);
      break;
    case TFieldType::Decimal:
      switch (FType) {
        case TFieldType::Int32:
        case TFieldType::Int64:
        case TFieldType::Boolean: return Decimal(std::to_string(FInt));
        case TFieldType::Float:
          if (!std::isfinite(FFloat)) break;
          return Decimal(FloatText(FFloat, std::chars_format::fixed));
        case TFieldType::Text: {
          const std::string_view S = TrimView(FStr);
          if (!IsPlainDecimal(S)) NotConvertible(FStr, "decimal value");
          return Decimal(std::string(S));
        }
        default: break;
      }
      break;
    case TFieldType::Unknown: break;
  }
  throw EConvertError(std::string("A ") + TypeName(FType) + " value cannot be converted to " + TypeName(Target));
}

bool TValue::operator==(const TValue& Other) const {
  if (FType != Other.FType || FNull != Other.FNull) return false;
  if (FNull) return true;
  switch (FType) {
    case TFieldType::Text:
    case TFieldType::Blob:
    case TFieldType::Decimal: return FStr == Other.FStr;
    case TFieldType::Float:
    case TFieldType::DateTime:
      return FFloat == Other.FFloat || (std::isnan(FFloat) && std::isnan(Other.FFloat));
    default: return FInt == Other.FInt;
  }
}

bool SameName(std::string_view A, std::string_view B) noexcept {
  if (A.size() != B.size()) return false;
  for (std::size_t I = 0; I < A.size(); ++I) {
    char X = A[I], Y = B[I];
    if (X >= 'A' && X <= 'Z') X = static_cast<char>(X - 'A' + 'a');
    if (Y >= 'A' && Y <= 'Z') Y = static_cast<char>(Y - 'A' + 'a');
    if (X != Y) return false;
  }
  return true;
}

}  // namespace ordex::db
