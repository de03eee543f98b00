// Remote-call overhead: a trivial method over loopback, through the client
// library, on an in-process server. Prints latency percentiles for one
// session and calls per second for 1, 8, 64 and 512 concurrent sessions, over
// TCP and over HTTP. Usage: bench_rpc_latency [seconds per run, default 1].
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

void Throughput(std::uint16_t Port, client::TTransport T, const char* Name, int Sessions, double Seconds) {
  std::vector<std::unique_ptr<client::TOrdexClient>> Clients;
  for (int I = 0; I < Sessions; ++I) Clients.push_back(NewClient(Port, T));
  std::atomic<bool> Go{false}, Halt{false};
  std::atomic<long> Calls{0}, Errors{0};
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
        } catch (const std::exception&) {
          ++Errors;
          break;
        }
      }
      Calls += Mine;
    });
  }
  const auto T0 = TClock::now();
  Go = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(Seconds));
  Halt = true;
  for (auto& Th : Threads) Th.join();
  const double Elapsed = std::chrono::duration<double>(TClock::now() - T0).count();
  std::printf("%-5s %4d sessions: %9.0f calls/s%s\n", Name, Sessions, Calls / Elapsed,
              Errors ? "  (some sessions failed)" : "");
  for (auto& C : Clients) C->Logout();
}

}  // namespace

int main(int Argc, char** Argv) {
  const double Seconds = Argc > 1 ? std::max(0.1, std::atof(Argv[1])) : 1.0;
  rpc::TRpcServerSettings Settings;
  Settings.Address = "127.0.0.1";
  rpc::TRpcServer Server(Settings);
  Server.RegisterClass(BenchClass());
  Server.SetTcpPort(0);
  Server.AttachHttp(0);
  Server.Start();
  std::printf("server: %zu I/O threads, default worker pool, %u cores\n", Settings.IoThreads,
              std::thread::hardware_concurrency());
  for (const auto& [T, Name] : {std::pair{client::TTransport::Tcp, "tcp"}, std::pair{client::TTransport::Http, "http"}}) {
    const auto Port = T == client::TTransport::Tcp ? Server.BoundTcpPort() : Server.BoundHttpPort();
    Latency(Port, T, Name);
    for (const int N : {1, 8, 64, 512}) Throughput(Port, T, Name, N, Seconds);
  }
  Server.Stop();
  return 0;
}
