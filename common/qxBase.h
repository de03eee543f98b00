// Small shared helpers: texts, identifiers, paths, sizes, time spans, streams,
// and the message windows (routed through one replaceable presenter).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/qxDateTime.h"

namespace ordex {

// A text, as the server handles it: UTF-8 bytes.
using TText = std::string;

// Removes the characters with codes 0 to 32 at both ends.
std::string Trim(std::string_view Text);

// Cuts the first token off Text at Separator (see the notes in qxBase.cpp):
// returns the trimmed text before it; Text keeps what follows the separator's
// first character. Without a separator: the whole text trimmed, Text emptied.
std::string CutToken(std::string& Text, std::string_view Separator);
// Splits the trimmed text by repeated CutToken, trimming every token.
std::vector<std::string> SplitText(std::string_view Text, std::string_view Separator);
// Replaces every occurrence of Find, matching Latin, Greek and Cyrillic letters without case.
std::string ReplaceAllText(std::string_view Text, std::string_view Find, std::string_view Replacement);
// ASCII upper and lower case; other bytes unchanged.
std::string UpperCaseAscii(std::string_view Text);
std::string LowerCaseAscii(std::string_view Text);

// Identifiers.
std::string NewGuidText();                 // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case
std::string MD5Hex(std::string_view Text); // digest of the trimmed text, one byte per UTF-16 unit
std::string NewID();                       // MD5Hex(NewGuidText()): 32 lower-case hex digits
std::string MD5OfBytes(std::string_view Bytes);  // plain MD5 of bytes, lower-case hex

// Paths.
char PathSep() noexcept;
std::string AppDir();        // folder of the running program, ending with PathSep
std::string AppFileName();   // full path of the running program
std::string RootDir();       // installation root derived from AppDir
std::string IniFileName();   // the program path with its extension replaced by ".ini"
std::string NormalizePath(std::string_view Path);  // every backslash becomes PathSep
// For tests and embedders: makes AppFileName() answer this path (empty restores).
void SetAppFileNameForTesting(std::string Path);

// Numbers, sizes, time.
// Fill repeated before Text up to Width UTF-16 units; a longer Text unchanged.
std::string PadLeftText(std::string_view Text, std::size_t Width, char Fill);
double RoundHalfEven(double Value, int Decimals);
double BytesToMB(std::int64_t Bytes);      // MiB, 3 decimals, half to even
double BytesToKB(double Bytes);            // KiB, 3 decimals, half to even
std::int32_t SecondsDiff(TDateTime A, TDateTime B);

// Streams: copies Source from its position in 32 KiB blocks until a short read.
std::string CopyToMemoryStream(std::istream& Source);

// Message windows. The presenter decides how they appear: the headless server
// logs them and answers Cancel; the console installs one that shows windows.
class IMessagePresenter {
 public:
  virtual ~IMessagePresenter() = default;
  virtual void ShowError(const std::string& Text) = 0;
  virtual void ShowInfo(const std::string& Text) = 0;
  virtual int AskOkCancel(const std::string& Caption, const std::string& Text) = 0;  // 1 OK, 2 Cancel
  virtual void ShowErrorWindow(const std::string& Title, const std::string& Message) = 0;
};
// Installs a presenter (nullptr restores the headless one); returns the previous.
std::shared_ptr<IMessagePresenter> SetMessagePresenter(std::shared_ptr<IMessagePresenter> Presenter);

std::string ShowErrorMsg(const std::string& Text);
std::string ShowInfoMsg(const std::string& Text);
int AskOkCancel(const std::string& Caption, const std::string& Text);
void ShowErrorWindow(const std::string& Title, const std::string& Message, const std::string& Buttons = {});

}  // namespace ordex
