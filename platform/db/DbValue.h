// Typed values of the database access layer: one cell of a row, one parameter
// value. The type numbers are those of the dataset stream layout.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ordex::db {

enum class TFieldType : std::uint8_t {
  Unknown = 0,
  Text = 1,
  Int32 = 2,
  Int64 = 3,
  Float = 4,
  Boolean = 5,
  DateTime = 6,  // days since 1899-12-30, time of day as the fraction
  Blob = 7,
  Decimal = 8,   // plain decimal notation kept as text, e.g. "-12.50"
};

// A nullable typed value. Text, Blob and Decimal keep their bytes in a string.
class TValue {
 public:
  TValue() = default;  // NULL of unknown type
  static TValue Null(TFieldType Type = TFieldType::Unknown);
  static TValue Text(std::string V);
  static TValue Int32(std::int32_t V);
  static TValue Int64(std::int64_t V);
  static TValue Float(double V);
  static TValue Boolean(bool V);
  static TValue DateTime(double V);
  static TValue Blob(std::string V);
  static TValue Decimal(std::string V);

  TFieldType Type() const noexcept { return FType; }
  bool IsNull() const noexcept { return FNull; }

  // Text form: NULL gives "", integers and decimals in decimal, floats in the
  // shortest form that reads back equal ("1.5", "0.062"), Booleans "True"/"False",
  // date-times "YYYY-MM-DD HH:MM:SS" (".mmm" added when not zero), blobs their bytes.
  std::string AsString() const;
  // Conversions; a text that is not a number throws EConvertError. NULL gives 0/false.
  std::int64_t AsInt64() const;
  double AsFloat() const;
  bool AsBoolean() const;
  double AsDateTime() const;
  // The raw bytes of a Text, Blob or Decimal value (empty for other types).
  const std::string& Bytes() const noexcept { return FStr; }

  // Converts to another field type (used when a value is stored into a typed
  // field or parameter); throws EConvertError when the value does not convert.
  TValue ConvertTo(TFieldType Target) const;

  // Same type, same nullness, same content.
  bool operator==(const TValue& Other) const;

 private:
  TFieldType FType = TFieldType::Unknown;
  bool FNull = true;
  std::string FStr;       // Text, Blob, Decimal
  std::int64_t FInt = 0;  // Int32, Int64, Boolean
  double FFloat = 0;      // Float, DateTime
};

// Case-insensitive ASCII comparison of identifiers (column and parameter names).
bool SameName(std::string_view A, std::string_view B) noexcept;

}  // namespace ordex::db
