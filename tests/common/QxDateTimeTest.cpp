// Civil-date arithmetic of the date-time values.
#include "common/qxDateTime.h"

#include <gtest/gtest.h>

#include <ctime>

#include "common/qxError.h"

namespace ordex {
namespace {

TEST(QxDateTime, EncodeKnownDates) {
  struct Case {
    TDateTimeParts Parts;
    TDateTime Value;
  } Cases[] = {
      {{1899, 12, 30, 0, 0, 0, 0}, 0.0},
      {{1900, 1, 1, 0, 0, 0, 0}, 2.0},
      {{2000, 1, 1, 0, 0, 0, 0}, 36526.0},
      {{2024, 2, 29, 12, 0, 0, 0}, 45351.5},
      {{1899, 12, 29, 6, 0, 0, 0}, -1.25},  // before the epoch the time still counts forward
      {{1, 1, 1, 0, 0, 0, 0}, -693593.0},
      {{9999, 12, 31, 0, 0, 0, 0}, 2958465.0},
  };
  for (const Case& C : Cases) {
    EXPECT_DOUBLE_EQ(EncodeDateTime(C.Parts), C.Value) << C.Value;
    const TDateTimeParts P = DecodeDateTime(C.Value);
    EXPECT_EQ(P.Year, C.Parts.Year);
    EXPECT_EQ(P.Month, C.Parts.Month);
    EXPECT_EQ(P.Day, C.Parts.Day);
    EXPECT_EQ(P.Hour, C.Parts.Hour);
  }
}

TEST(QxDateTime, RoundTripKeepsMilliseconds) {
  const TDateTimeParts In{2023, 12, 31, 23, 59, 59, 999};
  const TDateTimeParts Out = DecodeDateTime(EncodeDateTime(In));
  EXPECT_EQ(Out.Year, 2023);
  EXPECT_EQ(Out.Month, 12);
  EXPECT_EQ(Out.Day, 31);
  EXPECT_EQ(Out.Hour, 23);
  EXPECT_EQ(Out.Minute, 59);
  EXPECT_EQ(Out.Second, 59);
  EXPECT_EQ(Out.Millisecond, 999);
  // A value a hair before midnight rounds onto the next day, not to 24:00.
  const TDateTimeParts Next = DecodeDateTime(45000.0 - 1e-10);
  EXPECT_EQ(Next.Hour, 0);
  EXPECT_EQ(DateTimeToText(45000.0 - 1e-10), DateTimeToText(45000.0));
}

TEST(QxDateTime, ImpossibleDatesAreRefused) {
  const TDateTimeParts Bad[] = {
      {2023, 2, 29, 0, 0, 0, 0}, {1900, 2, 29, 0, 0, 0, 0}, {2024, 13, 1, 0, 0, 0, 0}, {2024, 4, 31, 0, 0, 0, 0},
      {2024, 1, 1, 24, 0, 0, 0}, {2024, 1, 1, 0, 60, 0, 0}, {2024, 1, 1, 0, 0, 0, 1000}, {0, 1, 1, 0, 0, 0, 0},
  };
  for (const TDateTimeParts& P : Bad) EXPECT_THROW(EncodeDateTime(P), EConvertError) << P.Year << "-" << P.Month;
  EXPECT_NO_THROW(EncodeDateTime({2000, 2, 29, 0, 0, 0, 0}));
}

TEST(QxDateTime, TextForms) {
  EXPECT_EQ(DateTimeToText(45351.5), "2024-02-29 12:00:00.000");
  EXPECT_EQ(DateTimeToText(45351.5, 'T'), "2024-02-29T12:00:00.000");
  struct Case {
    const char* Text;
    const char* Back;
  } Cases[] = {
      {"2024-02-29", "2024-02-29 00:00:00.000"},
      {"2024-02-29 13:45", "2024-02-29 13:45:00.000"},
      {"2024-02-29T13:45:07", "2024-02-29 13:45:07.000"},
      {"2024-02-29 13:45:07.5", "2024-02-29 13:45:07.500"},
      {"2024-02-29 13:45:07.123456", "2024-02-29 13:45:07.123"},
  };
  for (const Case& C : Cases) EXPECT_EQ(DateTimeToText(TextToDateTime(C.Text)), C.Back) << C.Text;
  for (const char* Bad : {"", "2024-2-29", "2024-02-30", "2024-02-29 1:00", "2024-02-29 10:00:00.", "2024-02-29x",
                          "2024-02-29 10:00 ", "abcd-ef-gh"})
    EXPECT_THROW(TextToDateTime(Bad), EConvertError) << Bad;
}

TEST(QxDateTime, NowLocalIsTheLocalWallClock) {
  const std::time_t T = std::time(nullptr);
  std::tm Tm{};
  localtime_r(&T, &Tm);
  const TDateTime Expected =
      EncodeDateTime({Tm.tm_year + 1900, Tm.tm_mon + 1, Tm.tm_mday, Tm.tm_hour, Tm.tm_min, Tm.tm_sec, 0});
  EXPECT_NEAR(NowLocal(), Expected, 5.0 / 86400);
}

}  // namespace
}  // namespace ordex
