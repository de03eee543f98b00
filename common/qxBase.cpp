// Shared helpers for texts, identifiers, paths, sizes, time spans and streams.
#include "common/qxBase.h"

#include <openssl/evp.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <array>
#include <climits>
#include <cmath>
#include <istream>
#include <mutex>

#include "common/qxError.h"
#include "common/qxLog.h"

namespace ordex {

namespace {

constexpr bool IsBlank(char C) noexcept { return static_cast<unsigned char>(C) <= 32; }

constexpr char AsciiUpper(char C) noexcept { return C >= 'a' && C <= 'z' ? static_cast<char>(C - 32) : C; }
constexpr char AsciiLower(char C) noexcept { return C >= 'A' && C <= 'Z' ? static_cast<char>(C + 32) : C; }

// Length in bytes of the UTF-8 character that starts with Lead (1 for a stray byte).
std::size_t Utf8CharLength(unsigned char Lead) noexcept {
  if (Lead >= 0xF0 && Lead <= 0xF4) return 4;
  if (Lead >= 0xE0) return Lead <= 0xEF ? 3 : 1;
  if (Lead >= 0xC2) return 2;
  return 1;
}

// Decodes the UTF-8 character at Pos; advances Pos. A malformed sequence gives
// U+FFFD and consumes one byte.
char32_t NextCodePoint(std::string_view Text, std::size_t& Pos) noexcept {
  const auto Lead = static_cast<unsigned char>(Text[Pos]);
  const std::size_t Len = Utf8CharLength(Lead);
  if (Len == 1) {
    ++Pos;
    return Lead < 0x80 ? Lead : 0xFFFD;
  }
  if (Pos + Len > Text.size()) {
    ++Pos;
    return 0xFFFD;
  }
  char32_t Cp = Lead & (0x7F >> Len);
  for (std::size_t I = 1; I < Len; ++I) {
    const auto C = static_cast<unsigned char>(Text[Pos + I]);
    if ((C & 0xC0) != 0x80) {
      ++Pos;
      return 0xFFFD;
    }
    Cp = (Cp << 6) | (C & 0x3F);
  }
  // Overlong forms, surrogates and values beyond U+10FFFF are malformed.
  static constexpr char32_t MinForLength[] = {0, 0, 0x80, 0x800, 0x10000};
  if (Cp < MinForLength[Len] || (Cp >= 0xD800 && Cp <= 0xDFFF) || Cp > 0x10FFFF) {
    ++Pos;
    return 0xFFFD;
  }
  Pos += Len;
  return Cp;
}

// The upper-case form of a letter of the Latin (ASCII, Latin-1, Latin
// Extended-A), Greek and Cyrillic alphabets; any other code point unchanged.
char32_t SimpleUpper(char32_t C) noexcept {
  if (C < 0x80) return C >= 'a' && C <= 'z' ? C - 32 : C;
  if (C >= 0xE0 && C <= 0xFE && C != 0xF7) return C - 32;
  if (C == 0xFF) return 0x178;
  if (C >= 0x100 && C <= 0x17F) {
    // Pairs of upper and lower letters; the pairing changes parity twice.
    const bool UpperEven = (C <= 0x137) || (C >= 0x14A && C <= 0x177);
    const bool UpperOdd = (C >= 0x139 && C <= 0x148) || (C >= 0x179 && C <= 0x17E);
    if (UpperEven && C % 2 == 1) return C - 1;
    if (UpperOdd && C % 2 == 0) return C - 1;
    return C;
  }
  if (C >= 0x3B1 && C <= 0x3C9) return C == 0x3C2 ? 0x3A3 : C - 32;
  if (C >= 0x430 && C <= 0x44F) return C - 32;
  if (C >= 0x450 && C <= 0x45F) return C - 80;
  return C;
}

// One character of a text for a case-blind search: its upper-case form and
// the byte offset where it starts. A byte that is not valid UTF-8 stands for
// itself (above the Unicode range), so two different stray bytes never match.
struct TFoldedChar {
  char32_t Upper;
  std::size_t Offset;
};

std::vector<TFoldedChar> FoldText(std::string_view Text) {
  std::vector<TFoldedChar> Out;
  Out.reserve(Text.size());
  for (std::size_t Pos = 0; Pos < Text.size();) {
    const std::size_t Start = Pos;
    char32_t Cp = NextCodePoint(Text, Pos);
    if (Cp == 0xFFFD && !(Pos - Start == 3 && Text.substr(Start, 3) == "\xEF\xBF\xBD"))
      Cp = 0x110000 + static_cast<unsigned char>(Text[Start]);
    Out.push_back({SimpleUpper(Cp), Start});
  }
  return Out;
}

struct TMdCtxDeleter {
  void operator()(EVP_MD_CTX* Ctx) const noexcept { EVP_MD_CTX_free(Ctx); }
};
using TMdCtx = std::unique_ptr<EVP_MD_CTX, TMdCtxDeleter>;

std::string Md5HexOf(std::string_view Bytes) {
  const TMdCtx Ctx(EVP_MD_CTX_new());
  unsigned char Digest[EVP_MAX_MD_SIZE];
  unsigned int Len = 0;
  if (!Ctx || EVP_DigestInit_ex(Ctx.get(), EVP_md5(), nullptr) != 1 ||
      EVP_DigestUpdate(Ctx.get(), Bytes.data(), Bytes.size()) != 1 ||
      EVP_DigestFinal_ex(Ctx.get(), Digest, &Len) != 1)
    throw EOSError("MD5 digest is not available");
  static constexpr char Hex[] = "0123456789abcdef";
  std::string Out;
  Out.reserve(Len * 2);
  for (unsigned int I = 0; I < Len; ++I) {
    Out += Hex[Digest[I] >> 4];
    Out += Hex[Digest[I] & 15];
  }
  return Out;
}

// The program path override of tests and embedders.
struct TAppPathState {
  std::mutex Lock;
  std::string Override;
};

TAppPathState& AppPathState() {
  static TAppPathState S;
  return S;
}

// The message presenter in use; the headless one when none is installed.
class THeadlessPresenter final : public IMessagePresenter {
 public:
  void ShowError(const std::string& Text) override { LogError(Text); }
  void ShowInfo(const std::string& Text) override { LogInfo(Text); }
  int AskOkCancel(const std::string& Caption, const std::string& Text) override {
    LogInfo(Caption + ": " + Text + " (answered Cancel)");
    return 2;
  }
  void ShowErrorWindow(const std::string& Title, const std::string& Message) override {
    LogError(Title + ": " + Message);
  }
};

struct TPresenterState {
  std::mutex Lock;
  std::shared_ptr<IMessagePresenter> Presenter;
};

TPresenterState& PresenterState() {
  static TPresenterState S;
  return S;
}

std::shared_ptr<IMessagePresenter> CurrentPresenter() {
  TPresenterState& S = PresenterState();
  std::lock_guard Guard(S.Lock);
  if (!S.Presenter) S.Presenter = std::make_shared<THeadlessPresenter>();
  return S.Presenter;
}

}  // namespace

// ---------------------------------------------------------------------------
// Texts

std::string Trim(std::string_view Text) {
  std::size_t B = 0, E = Text.size();
  while (B < E && IsBlank(Text[B])) ++B;
  while (E > B && IsBlank(Text[E - 1])) --E;
  return std::string(Text.substr(B, E - B));
}

// Only the separator's first character is consumed: a multi-character
// separator leaves its tail at the start of the remainder (a CR LF separator
// leaves the LF, which the trimming of the next token removes).
std::string CutToken(std::string& Text, std::string_view Separator) {
  const std::size_t P = Separator.empty() ? std::string::npos : Text.find(Separator);
  if (P == std::string::npos) {
    std::string Token = Trim(Text);
    Text.clear();
    return Token;
  }
  std::string Token = Trim(std::string_view(Text).substr(0, P));
  const std::size_t Skip = std::min(Utf8CharLength(static_cast<unsigned char>(Separator[0])), Separator.size());
  Text.erase(0, P + Skip);
  return Token;
}

std::vector<std::string> SplitText(std::string_view Text, std::string_view Separator) {
  std::vector<std::string> List;
  std::string Rest = Trim(Text);
  while (!Trim(Rest).empty()) List.push_back(Trim(CutToken(Rest, Separator)));
  return List;
}

// Matches character by character on the upper-case forms, left to right; a
// match resumes the search after its end.
std::string ReplaceAllText(std::string_view Text, std::string_view Find, std::string_view Replacement) {
  if (Find.empty()) return std::string(Text);
  const std::vector<TFoldedChar> Hay = FoldText(Text);
  const std::vector<TFoldedChar> Needle = FoldText(Find);
  const auto EndOf = [&](std::size_t Index) { return Index < Hay.size() ? Hay[Index].Offset : Text.size(); };
  std::string Out;
  std::size_t From = 0;  // byte offset of the text not yet copied
  for (std::size_t I = 0; I + Needle.size() <= Hay.size();) {
    std::size_t K = 0;
    while (K < Needle.size() && Hay[I + K].Upper == Needle[K].Upper) ++K;
    if (K < Needle.size()) {
      ++I;
      continue;
    }
    Out.append(Text.substr(From, Hay[I].Offset - From));
    Out.append(Replacement);
    I += Needle.size();
    From = EndOf(I);
  }
  Out.append(Text.substr(From));
  return Out;
}

std::string UpperCaseAscii(std::string_view Text) {
  std::string Out(Text);
  for (char& C : Out) C = AsciiUpper(C);
  return Out;
}

std::string LowerCaseAscii(std::string_view Text) {
  std::string Out(Text);
  for (char& C : Out) C = AsciiLower(C);
  return Out;
}

// ---------------------------------------------------------------------------
// Identifiers

std::string NewGuidText() {
  uuid_t Id;
  uuid_generate_random(Id);
  char Buf[37];
  uuid_unparse_upper(Id, Buf);
  return "{" + std::string(Buf) + "}";
}

// The stored password digests were made over one byte per UTF-16 code unit
// (ASCII as itself, anything else as '?'); this mapping is part of the data.
std::string MD5Hex(std::string_view Text) {
  const std::string Trimmed = Trim(Text);
  std::string Bytes;
  Bytes.reserve(Trimmed.size());
  for (std::size_t Pos = 0; Pos < Trimmed.size();) {
    const char32_t Cp = NextCodePoint(Trimmed, Pos);
    if (Cp < 0x80) {
      Bytes += static_cast<char>(Cp);
    } else {
      Bytes += '?';
      if (Cp >= 0x10000) Bytes += '?';  // a surrogate pair: two code units
    }
  }
  return Md5HexOf(Bytes);
}

std::string NewID() { return MD5Hex(NewGuidText()); }

std::string MD5OfBytes(std::string_view Bytes) { return Md5HexOf(Bytes); }

// ---------------------------------------------------------------------------
// Paths

char PathSep() noexcept { return '/'; }

std::string AppFileName() {
  {
    TAppPathState& S = AppPathState();
    std::lock_guard Guard(S.Lock);
    if (!S.Override.empty()) return S.Override;
  }
  std::string Buf(PATH_MAX, '\0');
  const ssize_t N = readlink("/proc/self/exe", Buf.data(), Buf.size());
  if (N <= 0 || static_cast<std::size_t>(N) >= Buf.size()) throw EOSError("Cannot determine the program path");
  Buf.resize(static_cast<std::size_t>(N));
  return Buf;
}

void SetAppFileNameForTesting(std::string Path) {
  TAppPathState& S = AppPathState();
  std::lock_guard Guard(S.Lock);
  S.Override = std::move(Path);
}

std::string AppDir() {
  const std::string File = AppFileName();
  const std::size_t P = File.find_last_of(PathSep());
  return P == std::string::npos ? std::string(1, PathSep()) : File.substr(0, P + 1);
}

std::string RootDir() {
  std::vector<std::string> Parts = SplitText(AppDir(), std::string(1, PathSep()));
  if (!Parts.empty() && (Parts.back() == "Debug" || Parts.back() == "Release")) Parts.pop_back();
  if (!Parts.empty() && (Parts.back() == "Win32" || Parts.back() == "Win64" || Parts.back() == "Linux64"))
    Parts.pop_back();
  for (std::size_t I = 0; I < Parts.size(); ++I) {
    if (Parts[I] == "Prog") {
      Parts.resize(I);
      break;
    }
  }
  std::string Root;
  for (std::size_t I = 0; I < Parts.size(); ++I) {
    if (I > 0) Root += PathSep();
    Root += Parts[I];
  }
  return Root;
}

std::string IniFileName() {
  std::string File = AppFileName();
  const std::size_t Dot = File.rfind('.');
  const std::size_t Sep = File.find_last_of("/\\:");
  if (Dot != std::string::npos && (Sep == std::string::npos || Dot > Sep)) File.erase(Dot);
  return File + ".ini";
}

std::string NormalizePath(std::string_view Path) {
  std::string Out(Path);
  for (char& C : Out)
    if (C == '\\') C = PathSep();
  return Out;
}

// ---------------------------------------------------------------------------
// Numbers, sizes, time

// The length counts UTF-16 code units, as the texts of the stored data do: a
// character beyond U+FFFF counts twice.
std::string PadLeftText(std::string_view Text, std::size_t Width, char Fill) {
  std::size_t Chars = 0;
  for (std::size_t Pos = 0; Pos < Text.size();) Chars += NextCodePoint(Text, Pos) >= 0x10000 ? 2 : 1;
  if (Chars >= Width) return std::string(Text);
  return std::string(Width - Chars, Fill) + std::string(Text);
}

// Ties are decided on the exact binary value of Value times 10^Decimals: the
// product is split into its rounded part Hi and the exact rounding error Lo
// (fma), so 0.0625 to three places is a true tie (0.062) while a value a hair
// above a half rounds up. Below 2^52 every k + 0.5 is representable and
// rounding is monotonic, so only a Hi that lands exactly on a half needs Lo.
double RoundHalfEven(double Value, int Decimals) {
  if (!std::isfinite(Value) || Decimals < 0 || Decimals > 15) return Value;
  double Scale = 1;
  for (int I = 0; I < Decimals; ++I) Scale *= 10;  // exact up to 10^22
  const double Hi = Value * Scale;
  if (std::fabs(Hi) >= 4503599627370496.0) return Value;  // 2^52: no fraction left
  const double Lo = std::fma(Value, Scale, -Hi);         // Value*Scale == Hi + Lo exactly
  const double Floor = std::floor(Hi);
  const double Frac = Hi - Floor;
  double Rounded;
  if (Frac < 0.5) {
    Rounded = Floor;
  } else if (Frac > 0.5) {
    Rounded = Floor + 1;
  } else if (Lo > 0) {
    Rounded = Floor + 1;
  } else if (Lo < 0) {
    Rounded = Floor;
  } else {
    Rounded = std::fmod(Floor, 2.0) == 0 ? Floor : Floor + 1;
  }
  return Rounded / Scale;
}

double BytesToMB(std::int64_t Bytes) { return RoundHalfEven(static_cast<double>(Bytes) / 1048576.0, 3); }

double BytesToKB(double Bytes) { return RoundHalfEven(Bytes / 1024.0, 3); }

std::int32_t SecondsDiff(TDateTime A, TDateTime B) {
  const double Diff = std::fabs(A - B);
  if (!std::isfinite(Diff)) return 0;
  const double Days = std::trunc(Diff);
  const auto Ms = static_cast<std::int64_t>(std::llround((Diff - Days) * 86400000.0));
  const double Seconds = Days * 86400.0 + static_cast<double>(Ms / 1000);
  // A span beyond the 32-bit range (about 68 years) is reported as the largest count.
  if (Seconds >= static_cast<double>(INT32_MAX)) return INT32_MAX;
  return static_cast<std::int32_t>(Seconds);
}

// ---------------------------------------------------------------------------
// Streams

std::string CopyToMemoryStream(std::istream& Source) {
  constexpr std::size_t BlockSize = 0x8000;
  std::string Out;
  std::array<char, BlockSize> Buffer;
  for (;;) {
    Source.read(Buffer.data(), static_cast<std::streamsize>(Buffer.size()));
    if (Source.bad()) throw EStreamError("Stream read error");
    const auto Got = static_cast<std::size_t>(Source.gcount());
    Out.append(Buffer.data(), Got);
    if (Got < BlockSize) break;
  }
  return Out;
}

// ---------------------------------------------------------------------------
// Message windows

std::shared_ptr<IMessagePresenter> SetMessagePresenter(std::shared_ptr<IMessagePresenter> Presenter) {
  TPresenterState& S = PresenterState();
  std::lock_guard Guard(S.Lock);
  auto Previous = std::move(S.Presenter);
  S.Presenter = std::move(Presenter);
  return Previous;
}

std::string ShowErrorMsg(const std::string& Text) {
  CurrentPresenter()->ShowError(Text);
  return {};
}

std::string ShowInfoMsg(const std::string& Text) {
  CurrentPresenter()->ShowInfo(Text);
  return {};
}

int AskOkCancel(const std::string& Caption, const std::string& Text) {
  return CurrentPresenter()->AskOkCancel(Caption, Text);
}

void ShowErrorWindow(const std::string& Title, const std::string& Message, const std::string& /*Buttons*/) {
  CurrentPresenter()->ShowErrorWindow(Title, Message);
}

}  // namespace ordex
