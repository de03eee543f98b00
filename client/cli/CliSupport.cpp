#include "client/cli/CliSupport.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "common/qxBase.h"

namespace ordex::cli {

using nlohmann::json;

// ---------------------------------------------------------------------------
// Arguments

std::string TArgs::Get(const std::string& Name, const std::string& Default) const {
  const auto It = FValues.find(Name);
  return It == FValues.end() ? Default : It->second.back();
}

std::vector<std::string> TArgs::All(const std::string& Name) const {
  const auto It = FValues.find(Name);
  return It == FValues.end() ? std::vector<std::string>{} : It->second;
}

bool TArgs::Flag(const std::string& Name, bool Default) const {
  if (!Has(Name)) return Default;
  const std::string V = Get(Name);
  if (V.empty() || V == "1") return true;
  if (V == "0") return false;
  throw TUsageError("--" + Name + " takes 0 or 1, not \"" + V + "\"");
}

std::int64_t TArgs::Number(const std::string& Name, std::int64_t Default) const {
  if (!Has(Name)) return Default;
  const std::string V = Get(Name);
  std::int64_t N = 0;
  bool Ok = !V.empty() && V.size() <= 18;
  for (const char C : V) {
    if (C < '0' || C > '9') Ok = false;
    else N = N * 10 + (C - '0');
  }
  if (!Ok) throw TUsageError("--" + Name + " needs a non-negative number, not \"" + V + "\"");
  return N;
}

TArgs ParseCommandArgs(const TCommandSpec& Spec, const std::vector<std::string>& Args) {
  TArgs Out;
  bool OptionsEnd = false;
  for (std::size_t I = 0; I < Args.size(); ++I) {
    const std::string& A = Args[I];
    const bool Long = A.size() > 2 && A.rfind("--", 0) == 0;
    const bool Short = !Long && A.size() == 2 && A[0] == '-' && A[1] != '-';
    if (OptionsEnd || (!Long && !Short)) {
      if (A == "--") OptionsEnd = true;
      else Out.Positional.push_back(A);
      continue;
    }
    std::string Name, Value;
    bool HasValue = false;
    const TOptionSpec* Opt = nullptr;
    if (Long) {
      const std::size_t Eq = A.find('=');
      Name = A.substr(2, Eq == std::string::npos ? std::string::npos : Eq - 2);
      if (Eq != std::string::npos) {
        Value = A.substr(Eq + 1);
        HasValue = true;
      }
      for (const auto& O : Spec.Options)
        if (O.Name == Name) Opt = &O;
    } else {
      for (const auto& O : Spec.Options)
        if (O.Short == A[1]) Opt = &O;
    }
    if (!Opt) throw TUsageError("unknown option " + A + " for \"" + Spec.Name + "\"");
    if (Opt->Kind == TOptionSpec::Value && !HasValue) {
      if (I + 1 >= Args.size()) throw TUsageError("option " + A + " needs a value");
      Value = Args[++I];
    } else if (Opt->Kind == TOptionSpec::Flag && HasValue && Value != "0" && Value != "1") {
      throw TUsageError("option --" + Opt->Name + " takes no value but 0 or 1");
    }
    Out.Add(Opt->Name, Value);
  }
  if (Out.Positional.size() < Spec.MinArgs) throw TUsageError("\"" + Spec.Name + "\" needs more arguments");
  if (Out.Positional.size() > Spec.MaxArgs)
    throw TUsageError("too many arguments for \"" + Spec.Name + "\": " + Out.Positional[Spec.MaxArgs]);
  return Out;
}

std::string CommandHelp(const TCommandSpec& Spec) {
  std::ostringstream S;
  S << "Usage: ordex [global options] " << Spec.Name << (Spec.Synopsis.empty() ? "" : " ") << Spec.Synopsis << "\n\n"
    << Spec.Summary << "\n";
  if (!Spec.Details.empty()) S << "\n" << Spec.Details << "\n";
  if (!Spec.Options.empty()) {
    S << "\nOptions:\n";
    for (const auto& O : Spec.Options) {
      std::string Left = "  ";
      if (O.Short) Left += std::string("-") + O.Short + ", ";
      Left += "--" + O.Name;
      std::string Help = O.Help;
      if (O.Kind == TOptionSpec::Value) {
        const std::size_t Sp = Help.find("  ");
        if (Sp != std::string::npos) {
          Left += " " + Help.substr(0, Sp);
          Help = Help.substr(Sp + 2);
        }
      }
      S << std::left << std::setw(24) << Left << " " << Help << "\n";
    }
  }
  S << "\nRun \"ordex --help\" for the global options and exit codes.\n";
  return S.str();
}

// ---------------------------------------------------------------------------
// Context

client::TOrdexSession& TContext::Session() {
  if (!FSession) {
    auto& C = FOptions.Connect;
    const std::string Password = ReadPassword("Password for " + C.User + "@" + C.Host + ": ", "ORDEX_PASSWORD");
    C.PasswordMd5 = MD5Hex(Password);
    FSession = std::make_unique<client::TOrdexSession>(C);
  }
  return *FSession;
}

void TContext::Close() { FSession.reset(); }

// ---------------------------------------------------------------------------
// Output

namespace {

// Characters of a UTF-8 text (continuation bytes not counted).
std::size_t TextWidth(const std::string& S) {
  std::size_t N = 0;
  for (const unsigned char C : S)
    if ((C & 0xC0) != 0x80) ++N;
  return N;
}

}  // namespace

void TOutput::Json(const json& J) { FOut << J.dump(2, ' ', false, json::error_handler_t::replace) << "\n"; }

void TOutput::Table(const std::vector<std::string>& Header, const std::vector<std::vector<std::string>>& Rows,
                    const std::vector<bool>& Right) {
  std::vector<std::size_t> W(Header.size());
  for (std::size_t C = 0; C < Header.size(); ++C) W[C] = TextWidth(Header[C]);
  for (const auto& R : Rows)
    for (std::size_t C = 0; C < R.size() && C < W.size(); ++C) W[C] = std::max(W[C], TextWidth(R[C]));
  const auto Line = [&](const std::vector<std::string>& R) {
    std::string Out;
    for (std::size_t C = 0; C < W.size(); ++C) {
      const std::string Cell = C < R.size() ? R[C] : std::string();
      const std::string Pad(W[C] - TextWidth(Cell), ' ');
      const bool AlignRight = C < Right.size() && Right[C];
      if (C > 0) Out += "  ";
      Out += AlignRight ? Pad + Cell : (C + 1 < W.size() ? Cell + Pad : Cell);
    }
    FOut << Out << "\n";
  };
  Line(Header);
  for (const auto& R : Rows) Line(R);
}

// ---------------------------------------------------------------------------
// Passwords

namespace {

// The controlling terminal with echo, line editing and signal keys off, as
// long as the object lives.
class TRawTerminal {
 public:
  TRawTerminal() : FFd(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (FFd < 0) return;
    if (::tcgetattr(FFd, &FOld) != 0) {
      ::close(FFd);
      FFd = -1;
      return;
    }
    termios Raw = FOld;
    Raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG);
    Raw.c_cc[VMIN] = 1;
    Raw.c_cc[VTIME] = 0;
    ::tcsetattr(FFd, TCSAFLUSH, &Raw);
  }
  ~TRawTerminal() {
    if (FFd < 0) return;
    ::tcsetattr(FFd, TCSAFLUSH, &FOld);
    ::close(FFd);
  }
  TRawTerminal(const TRawTerminal&) = delete;
  TRawTerminal& operator=(const TRawTerminal&) = delete;
  bool Open() const noexcept { return FFd >= 0; }
  void Write(const std::string& S) const {
    if (::write(FFd, S.data(), S.size()) < 0) {
      // Ignored: the prompt is a courtesy; reading goes on.
    }
  }
  // Reads one line without showing it; none when the user cancels (Ctrl-C, Ctrl-D).
  std::optional<std::string> ReadHidden() const {
    std::string Line;
    for (;;) {
      char C = 0;
      const ssize_t N = ::read(FFd, &C, 1);
      if (N <= 0) return std::nullopt;
      if (C == '\n' || C == '\r') return Line;
      if (C == 0x03 || (C == 0x04 && Line.empty())) return std::nullopt;
      if (C == 0x15) {  // Ctrl-U: start again
        Line.clear();
      } else if (C == 0x7f || C == 0x08) {  // erase one UTF-8 character
        while (!Line.empty() && (static_cast<unsigned char>(Line.back()) & 0xC0) == 0x80) Line.pop_back();
        if (!Line.empty()) Line.pop_back();
      } else {
        Line += C;
      }
    }
  }

 private:
  int FFd;
  termios FOld{};
};

std::string AskHidden(const std::string& Prompt) {
  const TRawTerminal Tty;
  if (!Tty.Open()) {
    // No terminal (a script): one line of standard input.
    std::string Line;
    if (!std::getline(std::cin, Line)) throw TUsageError("no password: set ORDEX_PASSWORD or run on a terminal");
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    return Line;
  }
  Tty.Write(Prompt);
  const auto Line = Tty.ReadHidden();
  Tty.Write("\n");
  if (!Line) throw TUsageError("password entry cancelled");
  return *Line;
}

}  // namespace

std::string ReadPassword(const std::string& Prompt, const char* EnvName) {
  if (const char* P = std::getenv(EnvName)) return P;
  return AskHidden(Prompt);
}

std::string ReadNewPassword(const std::string& Login, const char* EnvName) {
  std::string Password;
  if (const char* P = std::getenv(EnvName)) {
    Password = P;
  } else {
    Password = AskHidden("New password for " + Login + ": ");
    if (AskHidden("Repeat the new password: ") != Password) throw TUsageError("the two passwords differ");
  }
  // The server keeps the digest of the trimmed text: blanks alone are no password.
  if (Trim(Password).empty()) throw TUsageError("the new password is empty");
  return Password;
}

// ---------------------------------------------------------------------------
// Progress

TProgressBar::TProgressBar(std::string Label) : FLabel(std::move(Label)), FShown(::isatty(STDERR_FILENO) == 1) {}

TProgressBar::~TProgressBar() {
  if (FDrawn) std::cerr << "\n" << std::flush;
}

void TProgressBar::Update(std::uint64_t Done, std::uint64_t Total) {
  if (!FShown) return;
  const int Percent = Total == 0 ? 100 : static_cast<int>(Done * 100 / Total);
  if (Percent == FLastPercent) return;
  FLastPercent = Percent;
  constexpr int Width = 30;
  const int Filled = Percent * Width / 100;
  char Sizes[64];
  std::snprintf(Sizes, sizeof Sizes, "%.1f of %.1f MiB", static_cast<double>(Done) / 1048576.0,
                static_cast<double>(Total) / 1048576.0);
  std::cerr << "\r" << FLabel << " [" << std::string(static_cast<std::size_t>(Filled), '#')
            << std::string(static_cast<std::size_t>(Width - Filled), '-') << "] " << std::setw(3) << Percent << "%  "
            << Sizes << std::flush;
  FDrawn = true;
}

// ---------------------------------------------------------------------------
// Text helpers

std::string FormatKiB(double KiB) {
  char Buf[64];
  std::snprintf(Buf, sizeof Buf, "%.3f", KiB);
  return Buf;
}

std::string FormatDate(const db::TValue& V) {
  if (V.IsNull()) return {};
  return V.AsString().substr(0, 16);
}

std::string JoinNameExt(const std::string& Name, const std::string& Ext) {
  return Trim(Ext).empty() ? Trim(Name) : Trim(Name) + "." + Trim(Ext);
}

}  // namespace ordex::cli
