// ordexd: the document server without windows. It is configured by the
// settings file next to the program (ordexd.ini), serves clients until SIGINT
// or SIGTERM, and writes what the console would show to the log.
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <pthread.h>

#include "common/qxBase.h"
#include "common/qxError.h"
#include "common/qxLog.h"
#include "config/qxroot.h"
#include "serverhost/ConsoleModel.h"
#include "serverhost/dmOrdexServerContainer.h"
#include "serverhost/frmQxServer.h"

namespace {

constexpr const char* AppTitle = "Ordex Server";

void PrintHelp(std::ostream& Out) {
  Out << "Usage: ordexd [--help | --version]\n"
         "\n"
         "Runs the Ordex document server until it receives SIGINT or SIGTERM.\n"
         "Everything else is configured by the settings file next to the program\n"
         "(" << ordex::IniFileName() << "):\n"
         "  [ConnectionSettings] the database source, the TCP port (OrdexPort, default 4321),\n"
         "                       the HTTP port (OrdexHTTP, none by default), HTTPS (HttpsCert,\n"
         "                       HttpsKey), the storage folder, and under \"ServerLimits\" the\n"
         "                       transport limits and the listen address;\n"
         "  [App]                language and style.\n";
}

// Serves until SIGINT or SIGTERM; returns the exit status.
int Serve(ordex::Tqxroot& Root, const sigset_t& StopSignals) {
  using namespace ordex;
  TConsoleQueue Queue;
  auto Frame = std::make_unique<TfrmQxServers>(Queue);
  Frame->Model().OnChange = [](const std::string& Line) { LogInfo(Line); };

  auto Container = std::make_unique<TdmOrdexServerContainers>();
  Container->ServeOrdexServerClass();
  Frame->SetServerContainer(std::move(Container));
  const TConnInfo Main = Root.GetConnectionByName(MainDBSrv);
  LogInfo("Main connection: " + Main.TypeDB + " " + Main.Dbname + "; storage " + Main.DirFiles);

  int Status = 0;
  try {
    Frame->InitFrame();
  } catch (const std::exception& E) {
    LogError(std::string("The server could not start: ") + ErrorClassName(E) + ": " + E.what());
    Status = 1;
  }
  if (Status == 0) {
    LogInfo(std::string(AppTitle) + " " + Root.Ver.Version() + " is running; " + Frame->Model().Caption);
    // The loop thread is the console's UI thread while the server runs.
    TConsoleLoop Loop(Queue);
    int Signal = 0;
    while (sigwait(&StopSignals, &Signal) != 0) {
    }
    LogInfo(std::string("Stopping on signal ") + (Signal == SIGINT ? "SIGINT" : "SIGTERM"));
  }
  // The loop has drained and ended: this thread is the UI thread again.
  Frame->PrepareForGracefulClose();
  Frame.reset();  // stops the server: connections and sessions close
  Queue.Drain();
  return Status;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ordex;
  std::vector<std::string> Args(argv + (argc > 0 ? 1 : 0), argv + argc);
  for (const auto& A : Args) {
    if (A == "--help" || A == "-h") {
      PrintHelp(std::cout);
      return 0;
    }
  }

  // The stop signals are taken by sigwait only: block them before any thread starts.
  sigset_t StopSignals;
  sigemptyset(&StopSignals);
  sigaddset(&StopSignals, SIGINT);
  sigaddset(&StopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &StopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  int Status = 0;
  try {
    Tqxroot Root;
    SetQxroot(&Root);
    Root.SetCommandLine(Args);
    Root.Init();
    Root.Ver.SetPoductCode("ordexapp");
    Root.Ver.SetProductType("Server");
    for (const auto& A : Args) {
      if (A == "--version" || A == "-v") {
        Root.Ver.verInfo(std::cout);
        SetQxroot(nullptr);
        return 0;
      }
    }
    try {
      Status = Serve(Root, StopSignals);
    } catch (const std::exception& E) {
      LogError(std::string(ErrorClassName(E)) + ": " + E.what());
      Status = 1;
    }
    Root.Destr();
    SetQxroot(nullptr);
  } catch (const std::exception& E) {
    LogError(std::string(ErrorClassName(E)) + ": " + E.what());
    SetQxroot(nullptr);
    return 1;
  }
  return Status;
}
