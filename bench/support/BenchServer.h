// The real server for the network benchmarks, and their client helpers: the
// settings of a server folder, the server served in this process on free
// loopback ports (started as the console starts it), a logged-in client and
// the pieces of answers the benchmarks check. Header-only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "client/lib/OrdexClient.h"
#include "common/qxBase.h"
#include "common/qxLog.h"
#include "config/qxSettings.h"
#include "config/qxroot.h"
#include "platform/rpc/RpcServer.h"
#include "serverhost/ConsoleModel.h"
#include "serverhost/dmOrdexServerContainer.h"
#include "serverhost/frmQxServer.h"

namespace ordex::bench {

inline constexpr const char* ServerClass = "TOrdexServerClass";

// Writes the connection entry of a server folder into File: the SQLite store
// Dir/ordex.db, the storage folder Dir/files and the two ports ("0": any free one).
inline void WriteServerSettings(const TSettingsFile& File, const std::filesystem::path& Dir,
                                const std::string& TcpPort, const std::string& HttpPort) {
  TSettingsTree Tree;
  TSettingsTree& C = Tree.AddTree("ConnectDB");
  C.SetValue("IsIni", "1");
  C.SetValue("TypeDB", "SQLite");
  C.SetValue("Database", (Dir / "ordex.db").string());
  C.SetValue("DirFiles", (Dir / "files").string());
  C.SetValue("OrdexPort", TcpPort);
  C.SetValue("OrdexHTTP", HttpPort);
  File.Write("ConnectionSettings", "TfmOrdexServerMains", Tree.ToJSON());
}

// The server in this process on 127.0.0.1, for the store of the folder Dir
// (seeded before), started as the console starts it with the console loop as
// its UI thread; only warnings and errors are logged. Workers 0: the default.
// One at a time: it installs the process's root object and settings file.
class TInProcessServer {
 public:
  explicit TInProcessServer(const std::filesystem::path& Dir, std::size_t Workers = 0) {
    SetLogSink([](TLogLevel Level, const std::string& Line) {
      if (Level >= TLogLevel::Warning) std::fprintf(stderr, "server: %s\n", Line.c_str());
    });
    SetAppFileNameForTesting((Dir / "ordexd").string());
    WriteServerSettings(ProgramSettingsFile(), Dir, "0", "0");
    FRoot = std::make_unique<Tqxroot>();
    SetQxroot(FRoot.get());
    FRoot->Init();
    rpc::TRpcServerSettings S;
    S.Address = "127.0.0.1";
    S.Workers = Workers;
    FFrame = std::make_unique<TfrmQxServers>(FQueue);
    auto Container = std::make_unique<TdmOrdexServerContainers>(S);
    Container->ServeOrdexServerClass();
    FFrame->SetServerContainer(std::move(Container));
    FFrame->InitFrame();
    FLoop.emplace(FQueue);
  }
  ~TInProcessServer() {
    FLoop.reset();
    FFrame->PrepareForGracefulClose();
    FFrame.reset();
    FQueue.Drain();
    SetQxroot(nullptr);
    FRoot.reset();
    SetAppFileNameForTesting({});
    SetLogSink({});
  }
  TInProcessServer(const TInProcessServer&) = delete;
  TInProcessServer& operator=(const TInProcessServer&) = delete;

  std::uint16_t TcpPort() const { return FFrame->dmQxServers().QxDSServer.BoundTcpPort(); }
  std::uint16_t HttpPort() const { return FFrame->dmQxServers().QxDSServer.BoundHttpPort(); }
  std::uint16_t Port(client::TTransport T) const { return T == client::TTransport::Tcp ? TcpPort() : HttpPort(); }

 private:
  std::unique_ptr<Tqxroot> FRoot;
  TConsoleQueue FQueue;
  std::unique_ptr<TfrmQxServers> FFrame;
  std::optional<TConsoleLoop> FLoop;
};

// A client connected to 127.0.0.1:Port that accepts octet-stream answers and
// is logged in as Login under the application name App.
inline std::unique_ptr<client::TOrdexClient> ConnectClient(std::uint16_t Port, client::TTransport T,
                                                           const std::string& Login, const std::string& PasswordMd5,
                                                           const std::string& App) {
  auto C = std::make_unique<client::TOrdexClient>();
  C->Connect("127.0.0.1", Port, T);
  C->SetAcceptOctetStream(true);
  C->Login(Login, PasswordMd5, App);
  return C;
}

// A check of an answer failed: the server answered, but not what the store holds.
class EWrongAnswer : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The text of an answer's Key; "" when it is missing or not a text.
inline std::string TextOf(const client::TCallResult& R, const char* Key = "ReturnValue") {
  const auto It = R.Values.find(Key);
  return It != R.Values.end() && It->is_string() ? It->get<std::string>() : std::string();
}

// The index of the stream an answer returns; What names the call in the EWrongAnswer.
inline std::size_t ReturnedBlob(const client::TCallResult& R, const char* What) {
  const auto It = R.Values.find("ReturnValue");
  if (It == R.Values.end() || !It->is_object() || !It->contains("$blob"))
    throw EWrongAnswer(std::string(What) + ": no stream returned");
  const auto N = It->at("$blob").get<std::size_t>();
  if (N >= R.Blobs.size()) throw EWrongAnswer(std::string(What) + ": stream index out of range");
  return N;
}

// The stream an answer returns (see ReturnedBlob).
inline const std::string& BlobOf(const client::TCallResult& R, const char* What) {
  return R.Blobs[ReturnedBlob(R, What)];
}

// The stream an answer returns, moved out of it (see ReturnedBlob).
inline std::string TakeBlob(client::TCallResult& R, const char* What) {
  return std::move(R.Blobs[ReturnedBlob(R, What)]);
}

// The version record NewChange and EndChange take for a new content of FileID
// by User, with its MD5 digest and size.
inline nlohmann::json NewVersion(const std::string& FileID, const std::string& User, const std::string& Digest,
                                 std::int64_t Size) {
  return {{"histid", NewID()},   {"fileid", FileID},  {"ordnum", 0},
          {"usercreate", User}, {"md5_file", Digest}, {"size_file", static_cast<double>(Size)}};
}

}  // namespace ordex::bench
