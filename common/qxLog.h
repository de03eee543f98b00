// The server log: one line per event on standard error, with time and level.
// A sink may be installed (tests capture lines; the console shows them).
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace ordex {

enum class TLogLevel { Debug, Info, Warning, Error };

void Log(TLogLevel Level, std::string_view Text);
inline void LogInfo(std::string_view Text) { Log(TLogLevel::Info, Text); }
inline void LogWarning(std::string_view Text) { Log(TLogLevel::Warning, Text); }
inline void LogError(std::string_view Text) { Log(TLogLevel::Error, Text); }

using TLogSink = std::function<void(TLogLevel, const std::string&)>;
// Replaces the sink (an empty function restores standard error); thread-safe.
void SetLogSink(TLogSink Sink);

}  // namespace ordex
