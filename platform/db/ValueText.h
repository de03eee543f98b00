// Text forms shared by the value and dataset-stream units (not used outside platform/db).
#pragma once

#include <string_view>

namespace ordex::db::detail {

// True for plain decimal notation: an optional sign, digits, and an optional
// point followed by digits; at least one digit in all, no blanks, no exponent.
bool IsPlainDecimal(std::string_view S) noexcept;

}  // namespace ordex::db::detail
