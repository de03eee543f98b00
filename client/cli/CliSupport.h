// Building blocks of the "ordex" command: command descriptions and their
// argument parser, exit codes, text tables and JSON output, the password
// prompt and the progress bar.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/lib/OrdexSession.h"

namespace ordex::cli {

// Exit codes of the program.
enum TExit : int {
  ExitOk = 0,          // done
  ExitFailed = 1,      // the server refused or failed the operation, or a local file error
  ExitUsage = 2,       // bad command line
  ExitConnection = 3,  // no connection, or the login was refused
  ExitVerify = 4,      // a transfer did not verify (digest or size)
};

// A bad command line; the message says what is wrong.
class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One option of a command. Kind Flag takes no value ("--deleted"), or an
// optional "=0|1" ("--wfile=0"); Value takes one ("--rows 50" or "--rows=50").
struct TOptionSpec {
  enum TKind { Flag, Value };
  std::string Name;  // without the dashes
  TKind Kind = Flag;
  std::string Help;  // "N  rows per page" (value name first for Value options)
  char Short = 0;    // one-letter form ("-o"), 0 for none
};

// A parsed command line of one command.
class TArgs {
 public:
  std::vector<std::string> Positional;
  // Whether a flag or option was given.
  bool Has(const std::string& Name) const { return FValues.count(Name) > 0; }
  // The value of an option (the last one given), or Default.
  std::string Get(const std::string& Name, const std::string& Default = {}) const;
  // Every value of an option, in the order given.
  std::vector<std::string> All(const std::string& Name) const;
  // A flag as 0/1: absent gives Default, "--x" gives true, "--x=0|1" the value.
  bool Flag(const std::string& Name, bool Default = false) const;
  // An option's value as a non-negative integer; throws TUsageError otherwise.
  std::int64_t Number(const std::string& Name, std::int64_t Default) const;
  void Add(const std::string& Name, std::string Value) { FValues[Name].push_back(std::move(Value)); }

 private:
  std::map<std::string, std::vector<std::string>> FValues;
};

// Options that apply to every command.
struct TGlobalOptions {
  client::TConnectParams Connect;
  bool Json = false;
  bool UserGiven = false;
};

class TOutput;

// What a command runs with: the options, the output, and the session (made on
// first use, so that commands may check their arguments before connecting).
class TContext {
 public:
  TContext(TGlobalOptions Options, TOutput& Out) : FOptions(std::move(Options)), FOut(Out) {}
  const TGlobalOptions& Options() const noexcept { return FOptions; }
  TOutput& Out() noexcept { return FOut; }
  bool Json() const noexcept { return FOptions.Json; }
  // Connects, logs in and greets on first use (the password is asked for then).
  client::TOrdexSession& Session();
  // Logs out when a session was opened.
  void Close();

 private:
  TGlobalOptions FOptions;
  TOutput& FOut;
  std::unique_ptr<client::TOrdexSession> FSession;
};

// One command: "ls", or a sub-command such as "rights set".
struct TCommandSpec {
  std::string Name;
  std::string Synopsis;  // arguments after the name, e.g. "FOLDER [--deleted]"
  std::string Summary;   // one line for the command list
  std::string Details;   // further help text (may be empty)
  std::vector<TOptionSpec> Options;
  std::size_t MinArgs = 0, MaxArgs = 0;
  std::function<int(TContext&, const TArgs&)> Run;
};

// Parses the arguments after a command's name; throws TUsageError.
TArgs ParseCommandArgs(const TCommandSpec& Spec, const std::vector<std::string>& Args);
// The help text of a command.
std::string CommandHelp(const TCommandSpec& Spec);

// Output: aligned text tables for people, JSON documents for scripts.
class TOutput {
 public:
  TOutput(std::ostream& Out, std::ostream& Err) : FOut(Out), FErr(Err) {}
  std::ostream& Out() noexcept { return FOut; }
  std::ostream& Err() noexcept { return FErr; }
  // One JSON document on standard output (indented, invalid UTF-8 replaced).
  void Json(const nlohmann::json& J);
  // A table with a header row; columns are padded to their widest cell
  // (counted in characters, not bytes). Right aligns the columns marked true.
  void Table(const std::vector<std::string>& Header, const std::vector<std::vector<std::string>>& Rows,
             const std::vector<bool>& Right = {});

 private:
  std::ostream& FOut;
  std::ostream& FErr;
};

// Reads a password: from the environment variable EnvName when it is set,
// otherwise from the terminal with echo off (standard input when there is no
// terminal). Throws TUsageError when none can be read.
std::string ReadPassword(const std::string& Prompt, const char* EnvName);
// A new password: from EnvName, or asked for twice on the terminal; throws
// TUsageError when the two differ or it is empty.
std::string ReadNewPassword(const std::string& Login, const char* EnvName);

// A one-line progress bar on standard error, drawn only when it is a terminal.
class TProgressBar {
 public:
  explicit TProgressBar(std::string Label);
  ~TProgressBar();  // ends the line
  TProgressBar(const TProgressBar&) = delete;
  TProgressBar& operator=(const TProgressBar&) = delete;
  void Update(std::uint64_t Done, std::uint64_t Total);

 private:
  std::string FLabel;
  bool FShown;
  bool FDrawn = false;
  int FLastPercent = -1;
};

// Text helpers for tables.
std::string FormatKiB(double KiB);              // "12.500"
std::string FormatDate(const db::TValue& V);    // "2024-03-07 09:15" or ""
std::string JoinNameExt(const std::string& Name, const std::string& Ext);

}  // namespace ordex::cli
