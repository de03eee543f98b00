// Date-times as the whole server counts them: days since 1899-12-30 00:00 as a
// double, the time of day as the fraction, local time without a zone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ordex {

using TDateTime = double;

struct TDateTimeParts {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

// Builds a date-time; throws EConvertError for an impossible date or time.
TDateTime EncodeDateTime(const TDateTimeParts& Parts);
// Splits a date-time into its parts (milliseconds rounded).
TDateTimeParts DecodeDateTime(TDateTime Value);
// The current local date and time.
TDateTime NowLocal();
// "YYYY-MM-DD HH:MM:SS.mmm" (the form the databases store and the wire carries with a T).
std::string DateTimeToText(TDateTime Value, char Separator = ' ');
// Reads "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS[.fff]]" (blank or T between); throws EConvertError.
TDateTime TextToDateTime(std::string_view Text);

}  // namespace ordex
