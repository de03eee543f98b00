// Remote-call overhead: a trivial method over loopback, through the client
// library, on an in-process server. Prints latency percentiles for one
// session, calls per second and errors for 1, 8, 64 and 512 concurrent
// sessions over TCP and over HTTP, and how calls per second scale from one
// core to all cores (the whole process, server and clients, pinned in turn).
//
// Usage: bench_rpc_latency [seconds per run, default 1] [--scaling-sessions N]
//        [--no-scaling] [--tcp-only]
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "client/lib/OrdexClient.h"
#include "platform/rpc/RpcServer.h"

namespace {

using namespace ordex;
using TClock = std::chrono::steady_clock;

struct TBench {};

std::shared_ptr<rpc::TRpcClass> BenchClass() {
  auto C = std::make_shared<rpc::TRpcClassOf<TBench>>("TBench");
  C->Method("Echo", {rpc::In("S", rpc::TRpcType::Text)}, rpc::TRpcType::Text,
            [](TBench&, rpc::TCall& Call) { Call.Return(Call.Text("S")); });
  return C;
}

std::unique_ptr<client::TOrdexClient> NewClient(std::uint16_t Port, client::TTransport T) {
  auto C = std::make_unique<client::TOrdexClient>();
  C->Connect("127.0.0.1", Port, T);
  C->Login("bench", "00000000000000000000000000000000", "bench");
  return C;
}

void Latency(std::uint16_t Port, client::TTransport T, const char* Name) {
  auto C = NewClient(Port, T);
  const nlohmann::json Args = nlohmann::json::array({"ping"});
  for (int I = 0; I < 200; ++I) C->Call("TBench", "Echo", Args);
  std::vector<double> Micros;
  for (int I = 0; I < 5000; ++I) {
    const auto T0 = TClock::now();
    C->Call("TBench", "Echo", Args);
    Micros.push_back(std::chrono::duration<double, std::micro>(TClock::now() - T0).count());
  }
  std::sort(Micros.begin(), Micros.end());
  std::printf("%-5s latency, 1 session: p50 %7.1f us  p99 %7.1f us  max %8.1f us\n", Name,
              Micros[Micros.size() / 2], Micros[Micros.size() * 99 / 100], Micros.back());
  C->Logout();
}

struct TRate {
  double CallsPerSecond = 0;
  double CpuMicrosPerCall = 0;  // user + system time of the whole process (server and clients)
  long Errors = 0;
};

double CpuSeconds() {
  rusage U{};
  getrusage(RUSAGE_SELF, &U);
  const auto Sec = [](const timeval& T) { return static_cast<double>(T.tv_sec) + T.tv_usec / 1e6; };
  return Sec(U.ru_utime) + Sec(U.ru_stime);
}

TRate Throughput(std::uint16_t Port, client::TTransport T, int Sessions, double Seconds) {
  std::vector<std::unique_ptr<client::TOrdexClient>> Clients;
  long Errors = 0;
  for (int I = 0; I < Sessions; ++I) {
    try {
      Clients.push_back(NewClient(Port, T));
    } catch (const std::exception& E) {
      if (Errors++ == 0) std::fprintf(stderr, "login failed: %s\n", E.what());
    }
  }
  std::atomic<bool> Go{false}, Halt{false};
  std::atomic<long> Calls{0}, Failed{0};
  std::vector<std::thread> Threads;
  for (auto& C : Clients) {
    Threads.emplace_back([&, Client = C.get()] {
      const nlohmann::json Args = nlohmann::json::array({"ping"});
      while (!Go) std::this_thread::yield();
      long Mine = 0;
      while (!Halt) {
        try {
          Client->Call("TBench", "Echo", Args);
          ++Mine;
        } catch (const std::exception& E) {
          if (Failed++ == 0) std::fprintf(stderr, "call failed: %s\n", E.what());
          break;
        }
      }
      Calls += Mine;
    });
  }
  const auto T0 = TClock::now();
  const double Cpu0 = CpuSeconds();
  Go = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(Seconds));
  Halt = true;
  for (auto& Th : Threads) Th.join();
  const double Elapsed = std::chrono::duration<double>(TClock::now() - T0).count();
  const double Cpu = CpuSeconds() - Cpu0;
  for (auto& C : Clients) C->Logout();
  return {Calls / Elapsed, Calls ? Cpu * 1e6 / static_cast<double>(Calls) : 0.0, Errors + Failed};
}

// Pins every thread of the process (and those it makes later) to CPUs 0..Count-1.
void PinProcess(unsigned Count) {
  cpu_set_t Set;
  CPU_ZERO(&Set);
  for (unsigned C = 0; C < Count; ++C) CPU_SET(C, &Set);
  for (const auto& Task : std::filesystem::directory_iterator("/proc/self/task")) {
    const pid_t Tid = static_cast<pid_t>(std::atol(Task.path().filename().c_str()));
    sched_setaffinity(Tid, sizeof Set, &Set);
  }
}

}  // namespace

int main(int Argc, char** Argv) {
  double Seconds = 1.0;
  int ScalingSessions = 64;
  bool Scaling = true, TcpOnly = false;
  for (int I = 1; I < Argc; ++I) {
    if (!std::strcmp(Argv[I], "--scaling-sessions") && I + 1 < Argc)
      ScalingSessions = std::max(1, std::atoi(Argv[++I]));
    else if (!std::strcmp(Argv[I], "--no-scaling"))
      Scaling = false;
    else if (!std::strcmp(Argv[I], "--tcp-only"))
      TcpOnly = true;
    else
      Seconds = std::max(0.1, std::atof(Argv[I]));
  }
  const unsigned Cores = std::max(1u, std::thread::hardware_concurrency());
  rpc::TRpcServerSettings Settings;
  Settings.Address = "127.0.0.1";
  rpc::TRpcServer Server(Settings);
  Server.RegisterClass(BenchClass());
  Server.SetTcpPort(0);
  Server.AttachHttp(0);
  Server.Start();
  std::printf("server: %zu I/O threads (0 = one per core), default worker pool, %u cores\n", Settings.IoThreads, Cores);
  long TotalErrors = 0;
  for (const auto& [T, Name] : {std::pair{client::TTransport::Tcp, "tcp"}, std::pair{client::TTransport::Http, "http"}}) {
    if (TcpOnly && T != client::TTransport::Tcp) continue;
    const auto Port = T == client::TTransport::Tcp ? Server.BoundTcpPort() : Server.BoundHttpPort();
    Latency(Port, T, Name);
    for (const int N : {1, 8, 64, 512}) {
      const TRate R = Throughput(Port, T, N, Seconds);
      TotalErrors += R.Errors;
      std::printf("%-5s %4d sessions: %9.0f calls/s  %6.1f us CPU/call  errors %ld\n", Name, N, R.CallsPerSecond,
                  R.CpuMicrosPerCall, R.Errors);
    }
  }
  if (Scaling && Cores > 1) {
    PinProcess(1);
    const TRate One = Throughput(Server.BoundTcpPort(), client::TTransport::Tcp, ScalingSessions, Seconds);
    PinProcess(Cores);
    const TRate All = Throughput(Server.BoundTcpPort(), client::TTransport::Tcp, ScalingSessions, Seconds);
    TotalErrors += One.Errors + All.Errors;
    std::printf("tcp   %4d sessions, whole process on 1 core: %9.0f calls/s; on %u cores: %9.0f calls/s; ratio %.2f\n",
                ScalingSessions, One.CallsPerSecond, Cores, All.CallsPerSecond,
                One.CallsPerSecond > 0 ? All.CallsPerSecond / One.CallsPerSecond : 0.0);
  }
  Server.Stop();
  return TotalErrors ? 1 : 0;
}
