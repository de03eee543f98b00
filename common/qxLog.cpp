// The server log. Lines go to standard error, or to an installed sink. Line
// breaks inside an event are written as the two characters \r and \n, so that
// every event stays one line and a text from a client can never forge a line.
#include "common/qxLog.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

namespace ordex {

namespace {

const char* LevelName(TLogLevel Level) noexcept {
  switch (Level) {
    case TLogLevel::Debug: return "DEBUG";
    case TLogLevel::Info: return "INFO";
    case TLogLevel::Warning: return "WARNING";
    case TLogLevel::Error: return "ERROR";
  }
  return "INFO";
}

std::string TimeStamp() {
  timespec Ts{};
  clock_gettime(CLOCK_REALTIME, &Ts);
  std::tm Tm{};
  localtime_r(&Ts.tv_sec, &Tm);
  char Buf[40];
  std::snprintf(Buf, sizeof Buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", Tm.tm_year + 1900, Tm.tm_mon + 1,
                Tm.tm_mday, Tm.tm_hour, Tm.tm_min, Tm.tm_sec, static_cast<int>(Ts.tv_nsec / 1000000));
  return Buf;
}

std::string OneLine(std::string_view Text) {
  std::string Out;
  Out.reserve(Text.size());
  for (const char C : Text) {
    if (C == '\r') Out += "\\r";
    else if (C == '\n') Out += "\\n";
    else Out += C;
  }
  return Out;
}

// The log's shared state: the installed sink and the lock that keeps lines of
// concurrent writers whole.
struct TLogState {
  std::mutex Lock;
  std::shared_ptr<const TLogSink> Sink;
};

TLogState& State() {
  static TLogState S;
  return S;
}

}  // namespace

void Log(TLogLevel Level, std::string_view Text) {
  TLogState& S = State();
  std::shared_ptr<const TLogSink> Sink;
  {
    std::lock_guard Guard(S.Lock);
    Sink = S.Sink;
  }
  if (Sink) {
    // Called outside the lock so that a sink may itself log.
    (*Sink)(Level, std::string(Text));
    return;
  }
  const std::string Line = TimeStamp() + " " + LevelName(Level) + " " + OneLine(Text) + "\n";
  std::lock_guard Guard(S.Lock);
  std::fwrite(Line.data(), 1, Line.size(), stderr);
  std::fflush(stderr);
}

void SetLogSink(TLogSink Sink) {
  auto New = Sink ? std::make_shared<const TLogSink>(std::move(Sink)) : nullptr;
  TLogState& S = State();
  std::lock_guard Guard(S.Lock);
  S.Sink = std::move(New);
}

}  // namespace ordex
