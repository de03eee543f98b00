// ordex: the command-line client of the Ordex server.
//
//   ordex [global options] COMMAND [arguments]
//
// Every command connects, logs in with the MD5 digest of the password, greets
// the server with Hello (so that rights and audit columns apply), does its
// work and logs out. "ordex --help" lists the commands and the exit codes.
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "client/cli/Commands.h"
#include "common/qxBase.h"

namespace {

using namespace ordex;
using namespace ordex::cli;
using nlohmann::json;

std::vector<TCommandSpec> AllCommands() {
  std::vector<TCommandSpec> L;
  for (auto* Family : {&TreeCommands, &FileCommands, &AdminCommands, &CallCommands})
    for (auto& C : (*Family)()) L.push_back(std::move(C));
  return L;
}

std::string GeneralHelp(const std::vector<TCommandSpec>& Commands) {
  std::ostringstream S;
  S << "Usage: ordex [global options] COMMAND [arguments]\n"
       "       ordex COMMAND --help\n"
       "\n"
       "Client of the Ordex document server.\n"
       "\n"
       "Commands:\n";
  for (const auto& C : Commands) {
    std::string Left = "  " + C.Name;
    if (Left.size() < 16) Left.resize(16, ' ');
    S << Left << " " << C.Summary << "\n";
  }
  S << "\n"
       "Global options (before the command):\n"
       "  --host H         server host (default $ORDEX_HOST, else 127.0.0.1)\n"
       "  --port P         server port (default $ORDEX_PORT, else 4321 for TCP, 8080 for HTTP,\n"
       "                   8443 for HTTPS)\n"
       "  --http           use HTTP instead of the TCP transport\n"
       "  --https          use HTTPS; the server certificate is checked against the system's\n"
       "                   authorities and must name the host\n"
       "  --ca-file F      HTTPS: trust only the PEM certificates in F\n"
       "  --insecure       HTTPS: accept any certificate (testing only)\n"
       "  --user U         login (default $ORDEX_USER, else admin)\n"
       "  --timeout S      seconds to wait for the server at each step (default 30; 0: no limit)\n"
       "  --app NAME       client program name sent at login (default ordex)\n"
       "  --json           machine-readable output: one JSON document on stdout (also after the command)\n"
       "  --help           this text\n"
       "\n"
       "The password is read from $ORDEX_PASSWORD, or asked for on the terminal without echo.\n"
       "It is never shown or written anywhere; the server gets its MD5 digest.\n"
       "\n"
       "Exit codes: 0 done; 1 the server refused or failed the operation (or a local file\n"
       "error); 2 bad command line; 3 no connection, or the login was refused; 4 a transfer\n"
       "did not verify (MD5 or size).\n";
  return S.str();
}

std::uint16_t ParsePort(const std::string& V) {
  char* End = nullptr;
  const long P = std::strtol(V.c_str(), &End, 10);
  if (V.empty() || *End != '\0' || P < 1 || P > 65535) throw TUsageError("bad port: " + V);
  return static_cast<std::uint16_t>(P);
}

// Reads the global options in front of the command; returns the index of the
// command word (Args.size() when there is none).
std::size_t ParseGlobal(const std::vector<std::string>& Args, TGlobalOptions& G, bool& Help) {
  auto& C = G.Connect;
  const char* EnvHost = std::getenv("ORDEX_HOST");
  const char* EnvPort = std::getenv("ORDEX_PORT");
  const char* EnvUser = std::getenv("ORDEX_USER");
  C.Host = EnvHost && *EnvHost ? EnvHost : "127.0.0.1";
  C.User = EnvUser && *EnvUser ? EnvUser : "admin";
  std::string Port = EnvPort && *EnvPort ? EnvPort : "";
  std::size_t I = 0;
  for (; I < Args.size(); ++I) {
    std::string A = Args[I];
    std::string Inline;
    bool HasInline = false;
    if (const std::size_t Eq = A.find('='); A.rfind("--", 0) == 0 && Eq != std::string::npos) {
      Inline = A.substr(Eq + 1);
      A = A.substr(0, Eq);
      HasInline = true;
    }
    const auto Value = [&]() -> std::string {
      if (HasInline) return Inline;
      if (I + 1 >= Args.size()) throw TUsageError("option " + A + " needs a value");
      return Args[++I];
    };
    if (A == "--help" || A == "-h") Help = true;
    else if (A == "--json") G.Json = true;
    else if (A == "--http") C.Transport = client::TTransport::Http;
    else if (A == "--https") C.Transport = client::TTransport::Https;
    else if (A == "--insecure") C.Options.Insecure = true;
    else if (A == "--host") C.Host = Value();
    else if (A == "--port") Port = Value();
    else if (A == "--user") C.User = Value();
    else if (A == "--ca-file") C.Options.CaFile = Value();
    else if (A == "--app") C.App = Value();
    else if (A == "--timeout") {
      const std::string V = Value();
      char* End = nullptr;
      const long S = std::strtol(V.c_str(), &End, 10);
      if (V.empty() || *End != '\0' || S < 0 || S > 86400) throw TUsageError("bad --timeout: " + V);
      C.Options.ConnectTimeout = C.Options.ReadTimeout = C.Options.WriteTimeout = std::chrono::seconds(S);
    } else if (A.rfind("-", 0) == 0) {
      throw TUsageError("unknown global option " + A);
    } else {
      break;
    }
  }
  if (Trim(C.Host).empty()) throw TUsageError("the host must not be empty");
  if (Trim(C.User).empty()) throw TUsageError("the login must not be empty");
  if (!Port.empty()) C.Port = ParsePort(Port);
  else C.Port = C.Transport == client::TTransport::Tcp ? 4321 : C.Transport == client::TTransport::Http ? 8080 : 8443;
  if (C.Transport != client::TTransport::Https && (C.Options.Insecure || !C.Options.CaFile.empty()))
    throw TUsageError("--ca-file and --insecure apply to --https only");
  return I;
}

// Finds the command named by Args[At] (and Args[At+1] for sub-commands);
// "users" and "roles" alone mean their list. Advances At past the name.
const TCommandSpec* FindCommand(const std::vector<TCommandSpec>& Commands, const std::vector<std::string>& Args,
                                std::size_t& At) {
  const std::string First = Args[At];
  if (At + 1 < Args.size()) {
    const std::string Two = First + " " + Args[At + 1];
    for (const auto& C : Commands)
      if (C.Name == Two) {
        At += 2;
        return &C;
      }
  }
  for (const auto& C : Commands)
    if (C.Name == First || C.Name == First + " list") {
      At += 1;
      return &C;
    }
  return nullptr;
}

// Carriage returns of server messages become line breaks on a terminal.
std::string Readable(std::string Text) {
  for (std::size_t P = 0; (P = Text.find("\r\n", P)) != std::string::npos;) Text.erase(P, 1);
  for (char& C : Text)
    if (C == '\r') C = '\n';
  return Text;
}

// Prints a failure (text on stderr; with --json also a JSON document on stdout) and returns Code.
int Fail(TOutput& Out, bool Json, int Code, const std::string& Message, json Extra = json::object()) {
  Out.Err() << "ordex: " << Readable(Message) << "\n";
  if (Json) {
    Extra["message"] = Message;
    Extra["exit_code"] = Code;
    Out.Json(json{{"error", Extra}});
  }
  return Code;
}

int ReportPostError(TOutput& Out, bool Json, const client::EPostError& E) {
  std::ostringstream S;
  S << "the server refused the changes";
  json Errors = json::array();
  if (E.Errors().empty()) S << " (it gave no details)";
  for (const auto& Err : E.Errors()) {
    S << "\n  " << Err.DataSource << ": " << Readable(Err.ErrorMessage);
    json Changes = json::array();
    for (const auto& Ch : Err.Changes) {
      S << "\n    row " << Ch.RowID << ", " << Ch.FieldName << ": '" << Ch.OldValue << "' -> '" << Ch.NewValue << "'";
      Changes.push_back(
          json{{"RowID", Ch.RowID}, {"FieldName", Ch.FieldName}, {"OldValue", Ch.OldValue}, {"NewValue", Ch.NewValue}});
    }
    Errors.push_back(json{{"ErrorMessage", Err.ErrorMessage}, {"DataSource", Err.DataSource}, {"Changes", Changes}});
  }
  Out.Err() << "ordex: " << S.str() << "\n";
  if (Json)
    Out.Json(json{{"error",
                   {{"message", E.what()}, {"type", E.RemoteType()}, {"exit_code", ExitFailed}, {"errors", Errors}}}});
  return ExitFailed;
}

int Run(const std::vector<std::string>& Args) {
  TOutput Out(std::cout, std::cerr);
  const std::vector<TCommandSpec> Commands = AllCommands();
  TGlobalOptions G;
  bool Help = false;
  std::size_t At = 0;
  try {
    At = ParseGlobal(Args, G, Help);
  } catch (const TUsageError& E) {
    Out.Err() << "ordex: " << E.what() << "\nRun \"ordex --help\" for the usage.\n";
    return ExitUsage;
  }
  if (Help || (At < Args.size() && Args[At] == "help" && At + 1 == Args.size())) {
    Out.Out() << GeneralHelp(Commands);
    return ExitOk;
  }
  if (At >= Args.size()) {
    Out.Err() << "ordex: no command given\n\n" << GeneralHelp(Commands);
    return ExitUsage;
  }
  bool HelpOnly = false;
  if (Args[At] == "help") {
    HelpOnly = true;
    ++At;
  }
  const TCommandSpec* Spec = FindCommand(Commands, Args, At);
  if (!Spec) {
    Out.Err() << "ordex: unknown command \"" << Args[At] << "\"\nRun \"ordex --help\" for the list of commands.\n";
    return ExitUsage;
  }
  std::vector<std::string> Rest;
  for (std::size_t I = At; I < Args.size(); ++I) {
    if (Args[I] == "--help" || Args[I] == "-h") HelpOnly = true;
    else if (Args[I] == "--json") G.Json = true;
    else Rest.push_back(Args[I]);
  }
  if (HelpOnly) {
    Out.Out() << CommandHelp(*Spec);
    return ExitOk;
  }

  const bool Json = G.Json;
  TContext Ctx(std::move(G), Out);
  TArgs Parsed;
  try {
    Parsed = ParseCommandArgs(*Spec, Rest);
  } catch (const TUsageError& E) {
    Out.Err() << "ordex: " << E.what() << "\n\n" << CommandHelp(*Spec);
    if (Json) Out.Json(json{{"error", {{"message", E.what()}, {"exit_code", ExitUsage}}}});
    return ExitUsage;
  }
  try {
    const int Code = Spec->Run(Ctx, Parsed);
    Ctx.Close();
    return Code;
  } catch (const TUsageError& E) {
    Out.Err() << "ordex: " << E.what() << "\nRun \"ordex " << Spec->Name << " --help\" for the usage.\n";
    if (Json) Out.Json(json{{"error", {{"message", E.what()}, {"exit_code", ExitUsage}}}});
    return ExitUsage;
  } catch (const TRefused& E) {
    return Fail(Out, Json, ExitFailed, E.what());
  } catch (const client::ELoginError& E) {
    return Fail(Out, Json, ExitConnection, std::string("login refused: ") + E.what());
  } catch (const client::EPostError& E) {
    return ReportPostError(Out, Json, E);
  } catch (const client::ERemoteError& E) {
    return Fail(Out, Json, ExitFailed, E.RemoteType() + ": " + E.what(), json{{"type", E.RemoteType()}});
  } catch (const client::EConnectionError& E) {
    return Fail(Out, Json, ExitConnection, E.what());
  } catch (const client::EVerifyError& E) {
    return Fail(Out, Json, ExitVerify, std::string("verification failed: ") + E.what());
  } catch (const std::exception& E) {
    return Fail(Out, Json, ExitFailed, std::string(ErrorClassName(E)) + ": " + E.what());
  }
}

}  // namespace

int main(int Argc, char** Argv) {
  // A closed pipe (ordex ... | head) ends output quietly instead of killing us mid-transfer.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> Args(Argv + (Argc > 0 ? 1 : 0), Argv + Argc);
  return Run(Args);
}
