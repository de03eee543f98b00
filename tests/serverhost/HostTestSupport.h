// Helpers of the server host tests: a fake program folder with its own root
// object and settings file, captured message windows, a seeded document
// database, and small raw TCP and HTTP clients of the wire protocol.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio.hpp>
#include <nlohmann/json.hpp>

#include "common/qxBase.h"
#include "config/qxroot.h"
#include "platform/rpc/Frame.h"
#include "serverhost/ConsoleModel.h"
#include "tests/support/TestDatabases.h"

namespace ordex::test {

// Message windows, recorded instead of shown.
class TCapturePresenter : public IMessagePresenter {
 public:
  void ShowError(const std::string& Text) override { Add(Errors, Text); }
  void ShowInfo(const std::string& Text) override { Add(Infos, Text); }
  int AskOkCancel(const std::string&, const std::string&) override { return 2; }
  void ShowErrorWindow(const std::string&, const std::string& Message) override { Add(Errors, Message); }
  std::vector<std::string> TakeErrors() { return Take(Errors); }
  std::vector<std::string> TakeInfos() { return Take(Infos); }

 private:
  void Add(std::vector<std::string>& To, const std::string& Text) {
    const std::lock_guard Guard(FLock);
    To.push_back(Text);
  }
  std::vector<std::string> Take(std::vector<std::string>& From) {
    const std::lock_guard Guard(FLock);
    return std::exchange(From, {});
  }
  std::mutex FLock;
  std::vector<std::string> Errors, Infos;
};

// A temporary program folder (AppDir) with a root object of its own and the
// captured presenter; everything is restored on destruction.
class TFakeApp {
 public:
  TFakeApp();
  ~TFakeApp();
  TFakeApp(const TFakeApp&) = delete;
  TFakeApp& operator=(const TFakeApp&) = delete;
  const std::string& Dir() const noexcept { return FDir; }  // ends with '/'
  Tqxroot& Root() noexcept { return *FRoot; }
  TCapturePresenter& Messages() noexcept { return *FPresenter; }
  // Writes the connection settings entry ({"ConnectDB": Values}).
  void WriteConnectSettings(const std::map<std::string, std::string>& Values) const;
  // The connection settings entry as stored (empty object when none).
  nlohmann::json ReadConnectSettings() const;

 private:
  std::string FDir;
  std::unique_ptr<Tqxroot> FRoot;
  std::shared_ptr<TCapturePresenter> FPresenter;
  std::shared_ptr<IMessagePresenter> FPrevious;
};

// A document database with the schema, an administrator "admin" (password
// "secret", role "1") and a plain user "ivan" (password "pw", role "2"), and
// one top folder "f1".
class TSeededDatabase {
 public:
  TSeededDatabase();
  const TConnInfo& Info() const noexcept { return FDb.Info(); }

 private:
  TTestDatabase FDb;
};

// Drains Queue on this thread until Done() holds or Timeout passes.
bool DrainUntil(TConsoleQueue& Queue, const std::function<bool()>& Done,
                std::chrono::milliseconds Timeout = std::chrono::seconds(5));

// A port that was free a moment ago.
std::uint16_t FreePort();

// A raw client of the TCP transport.
class TTcpClient {
 public:
  explicit TTcpClient(std::uint16_t Port);
  // Sends a login; returns the answer header.
  nlohmann::json Login(const std::string& User, const std::string& Password, const std::string& App = "hosttest");
  // Calls a method; returns the answer frame (header parsed into Header).
  nlohmann::json Call(const std::string& Class, const std::string& Method, const nlohmann::json& Args,
                      std::vector<std::string>* Blobs = nullptr, const std::vector<std::string>& SendBlobs = {});
  void Send(const nlohmann::json& Header, const std::vector<std::string>& Blobs = {});
  // Reads one frame; none when the server closed the connection.
  std::optional<rpc::TFrame> Read();
  // True once the server has closed the connection (waits up to Timeout).
  bool WaitClosed(std::chrono::milliseconds Timeout = std::chrono::seconds(5));
  void Close();
  std::uint16_t LocalPort() const;

 private:
  boost::asio::io_context FIo;
  boost::asio::ip::tcp::socket FSocket;
  int FNextId = 1;
};

// One HTTP answer.
struct THttpAnswer {
  unsigned Status = 0;
  std::string Session;  // X-Ordex-Session
  std::string ContentType;
  std::string Body;
};
// POST /ordex/v1/<Class>/<Method> with a JSON body; Basic credentials when User is set.
THttpAnswer HttpCall(std::uint16_t Port, const std::string& Path, const std::string& Body,
                     const std::string& User = {}, const std::string& Password = {},
                     const std::string& Session = {});

}  // namespace ordex::test
