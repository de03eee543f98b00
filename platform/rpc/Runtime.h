// Internal: everything that exists while the server runs, shared by the
// transports: settings, the worker pool, the sessions, the registry of open
// connections with the connect/disconnect reports, the I/O context and the
// listeners. Member order matters: the pool outlives the sessions and the I/O
// contexts (whose handlers hold sessions), the contexts outlive the acceptors.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>  // before Asio, whose coroutine header needs std::exchange
#include <vector>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>

#include "platform/rpc/ServerImpl.h"
#include "platform/rpc/SessionManager.h"
#include "platform/rpc/WorkerPool.h"

namespace ordex::rpc::detail {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
// Each connection runs on its own strand of the I/O context.
using TStrand = asio::strand<asio::io_context::executor_type>;

// An open connection as the server sees it.
class TConnBase {
 public:
  virtual ~TConnBase() = default;
  // Closes the connection from any thread.
  virtual void Shutdown() = 0;
  // The server stops without this connection having closed: cut every link
  // that could reach its network objects from outside.
  virtual void Abandon() {}
};

struct TRuntime {
  TRuntime(const TRpcServer::TImpl& Owner, TRpcServerSettings S);

  const TRpcServer::TImpl& Owner;
  const TRpcServerSettings Settings;
  TWorkerPool Pool;
  std::atomic<bool> Stopping{false};
  TSessionManager Sessions;

  std::shared_ptr<asio::ssl::context> Tls;  // HTTPS when set; outlives the connections

  // One I/O context per I/O thread: a connection's handlers all run on its
  // context's one thread, with no hand-over between I/O threads.
  std::vector<std::unique_ptr<asio::io_context>> IoContexts;
  std::vector<asio::executor_work_guard<asio::io_context::executor_type>> Work;
  std::atomic<std::size_t> NextContext{0};
  std::unique_ptr<tcp::acceptor> TcpAcceptor;
  std::unique_ptr<tcp::acceptor> HttpAcceptor;
  std::unique_ptr<asio::steady_timer> Sweeper;
  std::atomic<std::uint16_t> BoundTcp{0};
  std::atomic<std::uint16_t> BoundHttp{0};
  std::vector<std::thread> IoThreads;

  // The context for the next connection, in turn.
  asio::io_context& NextIo() { return *IoContexts[NextContext++ % IoContexts.size()]; }

  // --- Open connections
  void AddConnection(const std::shared_ptr<TConnBase>& C);
  void RemoveConnection(const std::shared_ptr<TConnBase>& C);
  bool AtConnectionLimit() const;
  // Every open connection.
  std::vector<std::shared_ptr<TConnBase>> Connections() const;
  // Waits up to Limit for every connection to close; false when some are left.
  bool WaitConnectionsGone(std::chrono::milliseconds Limit);
  // Cuts the links of the connections left over and forgets them.
  void AbandonConnections();
  void ForgetConnections();

  // Reports to the connect/disconnect handlers (their failures are logged).
  void FireConnect(const TConnectionPtr& C) const;
  void FireDisconnect(const TConnectionPtr& C) const;

 private:
  mutable std::mutex FConnLock;  // guards FConnections
  std::condition_variable FConnectionsGone;
  std::set<std::shared_ptr<TConnBase>> FConnections;
};

}  // namespace ordex::rpc::detail
