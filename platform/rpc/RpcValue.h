// Values of remote calls: the types a parameter or result may have, the kinds
// of parameters, and their JSON forms on the wire (streams travel as blobs of
// the same message and appear in JSON as {"$blob": N}, null for "no stream").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/qxDateTime.h"

namespace ordex::rpc {

enum class TRpcType { Text, Boolean, Int32, Int64, Float, DateTime, Stream };
enum class TParamKind { In, Var, Out };

// Name of a type as used in error texts ("Text", "Int64", ...).
const char* TypeName(TRpcType Type) noexcept;

// A date-time value (kept apart from Float so the variant can tell them apart).
struct TRpcDateTime {
  TDateTime Value = 0;
};
// A stream value: its bytes, or none.
struct TRpcStream {
  std::optional<std::string> Bytes;
};

// One value of a call. monostate only as "not set yet".
using TRpcValue = std::variant<std::monostate, std::string, bool, std::int32_t, std::int64_t, double,
                               TRpcDateTime, TRpcStream>;

// The zero value of a type (empty text, false, 0, 1899-12-30, no stream).
TRpcValue DefaultValue(TRpcType Type);
// Converts V to Type where that loses nothing (Int32 to Int64 or Float, Int64 to
// Float, text to ...no); throws EArgumentError naming Name on a mismatch.
TRpcValue CoerceValue(TRpcValue V, TRpcType Type, std::string_view Name);

// Reads an argument from JSON, strictly: a wrong JSON type, an integer out of
// range, a bad date text or a blob index outside Blobs throws EArgumentError
// naming the parameter. Stream bytes are copied out of Blobs.
TRpcValue ValueFromJson(const nlohmann::json& J, TRpcType Type, std::string_view Name,
                        const std::vector<std::string>& Blobs);
// The blob index of a stream argument ({"$blob": N}, N < BlobCount), or none
// for null; anything else throws EArgumentError naming the parameter.
std::optional<std::size_t> BlobIndexFromJson(const nlohmann::json& J, std::string_view Name, std::size_t BlobCount);
// Writes a value as JSON; a stream's bytes are moved to the end of Blobs and
// referenced by index. Throws EConvertError for a date-time that has no text form.
nlohmann::json ValueToJson(TRpcValue&& V, std::vector<std::string>& Blobs);

// Date-time wire text "YYYY-MM-DDTHH:MM:SS.mmm" (local time, no zone).
std::string DateTimeToWire(TDateTime Value);
// Reads "YYYY-MM-DDTHH:MM:SS" with an optional ".m", ".mm" or ".mmm"; throws EConvertError.
TDateTime WireToDateTime(std::string_view Text);

}  // namespace ordex::rpc
