// Date-times as day counts since 1899-12-30 with the time of day as fraction.
// All calendar arithmetic is proleptic Gregorian on plain integers, so no time
// zone or daylight-saving rule ever touches a stored value; only NowLocal asks
// the system for the local wall clock.
#include "common/qxDateTime.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "common/qxError.h"

namespace ordex {

namespace {

constexpr std::int64_t MsPerDay = 86400000;

// Days from 1970-01-01 to the civil date y-m-d (H. Hinnant's algorithm).
constexpr std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct TCivil {
  std::int64_t Year;
  unsigned Month, Day;
};

constexpr TCivil CivilFromDays(std::int64_t z) noexcept {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {y + (m <= 2), m, d};
}

// The epoch of TDateTime, 1899-12-30, in days since 1970-01-01.
constexpr std::int64_t EpochShift = DaysFromCivil(1899, 12, 30);

constexpr bool IsLeap(int y) noexcept { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) noexcept {
  static constexpr int Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : Days[m - 1];
}

// Reads exactly Count decimal digits at Pos; false when they are not there.
bool ReadDigits(std::string_view Text, std::size_t& Pos, std::size_t Count, int& Out) {
  if (Pos + Count > Text.size()) return false;
  int Value = 0;
  for (std::size_t I = 0; I < Count; ++I) {
    const char C = Text[Pos + I];
    if (C < '0' || C > '9') return false;
    Value = Value * 10 + (C - '0');
  }
  Pos += Count;
  Out = Value;
  return true;
}

bool Expect(std::string_view Text, std::size_t& Pos, char C) {
  if (Pos >= Text.size() || Text[Pos] != C) return false;
  ++Pos;
  return true;
}

[[noreturn]] void BadDateTimeText(std::string_view Text) {
  throw EConvertError("'" + std::string(Text) + "' is not a valid date and time");
}

}  // namespace

TDateTime EncodeDateTime(const TDateTimeParts& P) {
  if (P.Year < 1 || P.Year > 9999 || P.Month < 1 || P.Month > 12 || P.Day < 1 ||
      P.Day > DaysInMonth(P.Year, P.Month) || P.Hour < 0 || P.Hour > 23 || P.Minute < 0 ||
      P.Minute > 59 || P.Second < 0 || P.Second > 59 || P.Millisecond < 0 || P.Millisecond > 999) {
    char Buf[96];
    std::snprintf(Buf, sizeof Buf, "Invalid date or time %04d-%02d-%02d %02d:%02d:%02d.%03d", P.Year, P.Month,
                  P.Day, P.Hour, P.Minute, P.Second, P.Millisecond);
    throw EConvertError(Buf);
  }
  const double Days = static_cast<double>(
      DaysFromCivil(P.Year, static_cast<unsigned>(P.Month), static_cast<unsigned>(P.Day)) - EpochShift);
  const double Time =
      static_cast<double>(((P.Hour * 60 + P.Minute) * 60 + P.Second) * 1000 + P.Millisecond) / MsPerDay;
  // Before the epoch the day count is negative while the time still counts
  // forward from midnight, so the fraction is subtracted.
  return Days < 0 ? Days - Time : Days + Time;
}

TDateTimeParts DecodeDateTime(TDateTime Value) {
  if (!std::isfinite(Value) || std::fabs(Value) > 3.0e6) throw EConvertError("Invalid date-time value");
  std::int64_t Days = static_cast<std::int64_t>(std::trunc(Value));
  std::int64_t Ms = std::llround(std::fabs(Value - static_cast<double>(Days)) * MsPerDay);
  if (Ms >= MsPerDay) {  // rounding reached the next midnight
    Ms -= MsPerDay;
    Days += Value < 0 ? -1 : 1;
  }
  const TCivil C = CivilFromDays(Days + EpochShift);
  TDateTimeParts P;
  P.Year = static_cast<int>(C.Year);
  P.Month = static_cast<int>(C.Month);
  P.Day = static_cast<int>(C.Day);
  P.Millisecond = static_cast<int>(Ms % 1000);
  P.Second = static_cast<int>(Ms / 1000 % 60);
  P.Minute = static_cast<int>(Ms / 60000 % 60);
  P.Hour = static_cast<int>(Ms / 3600000);
  return P;
}

TDateTime NowLocal() {
  timespec Ts{};
  clock_gettime(CLOCK_REALTIME, &Ts);
  std::tm Tm{};
  localtime_r(&Ts.tv_sec, &Tm);
  TDateTimeParts P;
  P.Year = Tm.tm_year + 1900;
  P.Month = Tm.tm_mon + 1;
  P.Day = Tm.tm_mday;
  P.Hour = Tm.tm_hour;
  P.Minute = Tm.tm_min;
  P.Second = Tm.tm_sec > 59 ? 59 : Tm.tm_sec;  // a leap second folds into :59
  P.Millisecond = static_cast<int>(Ts.tv_nsec / 1000000);
  return EncodeDateTime(P);
}

std::string DateTimeToText(TDateTime Value, char Separator) {
  const TDateTimeParts P = DecodeDateTime(Value);
  char Buf[64];
  std::snprintf(Buf, sizeof Buf, "%04d-%02d-%02d%c%02d:%02d:%02d.%03d", P.Year, P.Month, P.Day, Separator, P.Hour,
                P.Minute, P.Second, P.Millisecond);
  return Buf;
}

TDateTime TextToDateTime(std::string_view Text) {
  TDateTimeParts P;
  std::size_t Pos = 0;
  if (!ReadDigits(Text, Pos, 4, P.Year) || !Expect(Text, Pos, '-') || !ReadDigits(Text, Pos, 2, P.Month) ||
      !Expect(Text, Pos, '-') || !ReadDigits(Text, Pos, 2, P.Day))
    BadDateTimeText(Text);
  if (Pos < Text.size()) {
    if (Text[Pos] != ' ' && Text[Pos] != 'T') BadDateTimeText(Text);
    ++Pos;
    if (!ReadDigits(Text, Pos, 2, P.Hour) || !Expect(Text, Pos, ':') || !ReadDigits(Text, Pos, 2, P.Minute))
      BadDateTimeText(Text);
    if (Pos < Text.size()) {
      if (!Expect(Text, Pos, ':') || !ReadDigits(Text, Pos, 2, P.Second)) BadDateTimeText(Text);
      if (Pos < Text.size()) {
        if (!Expect(Text, Pos, '.')) BadDateTimeText(Text);
        // Fractions of any length; digits beyond milliseconds are dropped.
        const std::size_t Start = Pos;
        int Ms = 0;
        while (Pos < Text.size() && Text[Pos] >= '0' && Text[Pos] <= '9') {
          if (Pos - Start < 3) Ms = Ms * 10 + (Text[Pos] - '0');
          ++Pos;
        }
        const std::size_t Len = Pos - Start;
        if (Len == 0 || Pos != Text.size()) BadDateTimeText(Text);
        for (std::size_t I = Len; I < 3; ++I) Ms *= 10;
        P.Millisecond = Ms;
      }
    }
  }
  try {
    return EncodeDateTime(P);
  } catch (const EConvertError&) {
    BadDateTimeText(Text);
  }
}

}  // namespace ordex
