// ordex: calls one method of an Ordex server from the command line.
//
//   ordex [--host H] [--port P] [--http] [--user U] [--app NAME]
//         [--in FILE]... [--out FILE]... call CLASS METHOD [ARGS-JSON]
//
// The password comes from ORDEX_PASSWORD or is asked for without echo; the
// server gets its MD5 digest. Prints the answer's values as JSON. Exit codes:
// 0 done, 1 the call failed on the server, 2 bad usage, 3 no connection or login.
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "client/lib/OrdexClient.h"
#include "common/qxBase.h"

namespace {

using namespace ordex;
using nlohmann::json;

constexpr int ExitOk = 0, ExitRemote = 1, ExitUsage = 2, ExitConnection = 3;

constexpr const char* Usage =
    "Usage: ordex [options] call CLASS METHOD [ARGS-JSON]\n"
    "\n"
    "Calls CLASS.METHOD on an Ordex server and prints the answer's values as JSON.\n"
    "ARGS-JSON is an array (by position) or an object (by parameter name); default [].\n"
    "A stream argument is written {\"$blob\": N}: the N-th file given with --in.\n"
    "\n"
    "Options:\n"
    "  --host H      server host (default 127.0.0.1)\n"
    "  --port P      server port (default 4321)\n"
    "  --http        use the HTTP transport instead of TCP\n"
    "  --user U      login name (default: $ORDEX_USER, else admin)\n"
    "  --app NAME    client program name sent at login (default ordex)\n"
    "  --in FILE     a stream to send (repeatable; blob 0, 1, ...)\n"
    "  --out FILE    where to write a returned stream (repeatable; blob 0, 1, ...);\n"
    "                streams without a file are summarised as byte counts\n"
    "  --help        this text\n"
    "\n"
    "The password is read from $ORDEX_PASSWORD, or asked for without echo.\n"
    "Exit codes: 0 done, 1 remote error, 2 usage, 3 connection or login failure.\n";

struct TOptions {
  std::string Host = "127.0.0.1";
  std::uint16_t Port = 4321;
  bool Http = false;
  std::string User;
  std::string App = "ordex";
  std::vector<std::string> Inputs, Outputs;
  std::string Class, Method;
  json Args = json::array();
};

int UsageError(const std::string& Text) {
  std::cerr << "ordex: " << Text << "\n\n" << Usage;
  return ExitUsage;
}

// Parses the command line; returns an exit code to stop with, or -1 to go on.
int ParseArguments(int Argc, char** Argv, TOptions& O) {
  const char* EnvUser = std::getenv("ORDEX_USER");
  O.User = EnvUser ? EnvUser : "admin";
  std::vector<std::string> Rest;
  for (int I = 1; I < Argc; ++I) {
    const std::string A = Argv[I];
    const auto Value = [&]() -> const char* { return I + 1 < Argc ? Argv[++I] : nullptr; };
    if (A == "--help" || A == "-h") {
      std::cout << Usage;
      return ExitOk;
    } else if (A == "--http") {
      O.Http = true;
    } else if (A == "--host" || A == "--port" || A == "--user" || A == "--app" || A == "--in" || A == "--out") {
      const char* V = Value();
      if (!V) return UsageError(A + " needs a value");
      if (A == "--host") O.Host = V;
      else if (A == "--user") O.User = V;
      else if (A == "--app") O.App = V;
      else if (A == "--in") O.Inputs.emplace_back(V);
      else if (A == "--out") O.Outputs.emplace_back(V);
      else {
        char* End = nullptr;
        const long P = std::strtol(V, &End, 10);
        if (*V == '\0' || *End != '\0' || P < 1 || P > 65535) return UsageError("bad port: " + std::string(V));
        O.Port = static_cast<std::uint16_t>(P);
      }
    } else if (A.rfind("--", 0) == 0) {
      return UsageError("unknown option " + A);
    } else {
      Rest.push_back(A);
    }
  }
  if (Rest.size() < 3 || Rest.size() > 4 || Rest[0] != "call") return UsageError("expected: call CLASS METHOD [ARGS-JSON]");
  O.Class = Rest[1];
  O.Method = Rest[2];
  if (Rest.size() == 4) {
    O.Args = json::parse(Rest[3], nullptr, false);
    if (O.Args.is_discarded() || !(O.Args.is_array() || O.Args.is_object()))
      return UsageError("ARGS-JSON must be a JSON array or object");
  }
  return -1;
}

std::string ReadPassword() {
  if (const char* P = std::getenv("ORDEX_PASSWORD")) return P;
  std::cerr << "Password: " << std::flush;
  termios Old{};
  const bool Tty = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &Old) == 0;
  if (Tty) {
    termios Quiet = Old;
    Quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &Quiet);
  }
  std::string Password;
  std::getline(std::cin, Password);
  if (Tty) tcsetattr(STDIN_FILENO, TCSAFLUSH, &Old);
  std::cerr << "\n";
  return Password;
}

bool ReadFile(const std::string& Name, std::string& Bytes) {
  std::ifstream In(Name, std::ios::binary);
  if (!In) return false;
  Bytes.assign(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
  return !In.bad();
}

}  // namespace

int main(int Argc, char** Argv) {
  TOptions O;
  if (const int Code = ParseArguments(Argc, Argv, O); Code >= 0) return Code;
  std::vector<std::string> Blobs;
  for (const auto& Name : O.Inputs) {
    std::string Bytes;
    if (!ReadFile(Name, Bytes)) return UsageError("cannot read " + Name);
    Blobs.push_back(std::move(Bytes));
  }

  client::TOrdexClient Client;
  try {
    Client.Connect(O.Host, O.Port, O.Http ? client::TTransport::Http : client::TTransport::Tcp);
    Client.Login(O.User, MD5Hex(ReadPassword()), O.App);
  } catch (const std::exception& E) {
    std::cerr << "ordex: " << E.what() << "\n";
    return ExitConnection;
  }

  client::TCallResult Result;
  try {
    Result = Client.Call(O.Class, O.Method, O.Args, std::move(Blobs));
  } catch (const client::ELoginError& E) {
    std::cerr << "ordex: login refused: " << E.what() << "\n";
    return ExitConnection;
  } catch (const client::ERemoteError& E) {
    std::cerr << "ordex: " << E.RemoteType() << ": " << E.what() << "\n";
    return ExitRemote;
  } catch (const std::exception& E) {
    std::cerr << "ordex: " << E.what() << "\n";
    return ExitConnection;
  }

  std::cout << Result.Values.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
  for (std::size_t I = 0; I < Result.Blobs.size(); ++I) {
    if (I < O.Outputs.size()) {
      std::ofstream Out(O.Outputs[I], std::ios::binary);
      Out.write(Result.Blobs[I].data(), static_cast<std::streamsize>(Result.Blobs[I].size()));
      if (!Out) {
        std::cerr << "ordex: cannot write " << O.Outputs[I] << "\n";
        return ExitUsage;
      }
      std::cerr << "blob " << I << ": " << Result.Blobs[I].size() << " bytes written to " << O.Outputs[I] << "\n";
    } else {
      std::cerr << "blob " << I << ": " << Result.Blobs[I].size() << " bytes\n";
    }
  }
  Client.Logout();
  return ExitOk;
}
