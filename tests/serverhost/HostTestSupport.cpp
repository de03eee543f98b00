#include "tests/serverhost/HostTestSupport.h"

#include <stdlib.h>

#include <filesystem>
#include <thread>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <openssl/evp.h>

#include "common/qxError.h"
#include "config/qxSettings.h"
#include "platform/db/Db.h"
#include "serverhost/ConsoleModel.h"

namespace ordex::test {

namespace fs = std::filesystem;
namespace asio = boost::asio;
namespace http = boost::beast::http;
using asio::ip::tcp;
using nlohmann::json;

// ---------------------------------------------------------------------------
// TFakeApp

TFakeApp::TFakeApp() {
  std::string Pattern = (fs::temp_directory_path() / "ordex-host-XXXXXX").string();
  if (::mkdtemp(Pattern.data()) == nullptr) throw EFileError("Cannot create " + Pattern);
  FDir = Pattern + "/";
  SetAppFileNameForTesting(FDir + "ordexd");
  FPresenter = std::make_shared<TCapturePresenter>();
  FPrevious = SetMessagePresenter(FPresenter);
  FRoot = std::make_unique<Tqxroot>();
  SetQxroot(FRoot.get());
  FRoot->Init();
}

TFakeApp::~TFakeApp() {
  SetQxroot(nullptr);
  FRoot.reset();
  SetMessagePresenter(FPrevious);
  SetAppFileNameForTesting({});
  std::error_code Ignored;
  fs::remove_all(FDir, Ignored);
}

void TFakeApp::WriteConnectSettings(const std::map<std::string, std::string>& Values) const {
  TSettingsTree Tree;
  TSettingsTree& C = Tree.AddTree("ConnectDB");
  for (const auto& [Key, Value] : Values) C.SetValue(Key, Value);
  ProgramSettingsFile().Write("ConnectionSettings", "TfmOrdexServerMains", Tree.ToJSON());
}

json TFakeApp::ReadConnectSettings() const {
  const std::string Text = ProgramSettingsFile().Read("ConnectionSettings", "TfmOrdexServerMains");
  return Text.empty() ? json::object() : json::parse(Text);
}

// ---------------------------------------------------------------------------
// TSeededDatabase

TSeededDatabase::TSeededDatabase() : FDb("SQLite", true) {
  db::TConnection Conn;
  FDb.Open(Conn);
  Conn.ExecSQL("INSERT INTO qxroles (roleid, rolename) VALUES ('1', 'Администраторы')");
  Conn.ExecSQL("INSERT INTO qxroles (roleid, rolename) VALUES ('2', 'Пользователи')");
  const auto AddUser = [&Conn](const char* Id, const char* Login, const std::string& Password, const char* Role) {
    db::TParams P;
    P.Add("id").SetText(Id);
    P.Add("login").SetText(Login);
    P.Add("pw").SetText(Password);
    P.Add("role").SetText(Role);
    Conn.ExecSQL("INSERT INTO qxusers (user_id, login, password, roleid) VALUES (:id, :login, :pw, :role)", &P);
  };
  AddUser("u1", "admin", MD5Hex("secret"), "1");
  AddUser("u2", "ivan", MD5Hex("pw"), "2");
  Conn.ExecSQL("INSERT INTO qxusers (user_id, login, password, roleid) VALUES ('u3', 'nopass', '', '2')");
  Conn.ExecSQL("INSERT INTO oxTree (treeid, treename, parent_treeid, ccount, del) VALUES ('f1', 'Папка', '0', 0, 0)");
}

// ---------------------------------------------------------------------------
// Helpers

bool DrainUntil(TConsoleQueue& Queue, const std::function<bool()>& Done, std::chrono::milliseconds Timeout) {
  const auto Until = std::chrono::steady_clock::now() + Timeout;
  for (;;) {
    Queue.Drain();
    if (Done()) return true;
    if (std::chrono::steady_clock::now() >= Until) return false;
    Queue.WaitForTask(std::chrono::milliseconds(10));
  }
}

std::uint16_t FreePort() {
  asio::io_context Io;
  tcp::acceptor A(Io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  return A.local_endpoint().port();
}

// ---------------------------------------------------------------------------
// TTcpClient

TTcpClient::TTcpClient(std::uint16_t Port) : FSocket(FIo) {
  FSocket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), Port));
}

void TTcpClient::Send(const json& Header, const std::vector<std::string>& Blobs) {
  asio::write(FSocket, asio::buffer(rpc::EncodeFrame(Header.dump(), Blobs)));
}

std::optional<rpc::TFrame> TTcpClient::Read() {
  rpc::TFrameReader Reader;
  while (!Reader.Done()) {
    const auto Room = Reader.NextBuffer();
    boost::system::error_code Ec;
    const std::size_t N = FSocket.read_some(asio::buffer(Room.data(), Room.size()), Ec);
    if (Ec) return std::nullopt;
    Reader.Commit(N);
  }
  return Reader.Take();
}

json TTcpClient::Login(const std::string& User, const std::string& Password, const std::string& App) {
  Send({{"op", "login"}, {"user", User}, {"password", Password}, {"app", App}});
  const auto F = Read();
  if (!F) throw EStreamError("connection closed during login");
  return json::parse(F->Header);
}

json TTcpClient::Call(const std::string& Class, const std::string& Method, const json& Args,
                      std::vector<std::string>* Blobs, const std::vector<std::string>& SendBlobs) {
  Send({{"op", "call"}, {"id", FNextId++}, {"class", Class}, {"method", Method}, {"args", Args}}, SendBlobs);
  auto F = Read();
  if (!F) throw EStreamError("connection closed during a call");
  if (Blobs) *Blobs = std::move(F->Blobs);
  return json::parse(F->Header);
}

bool TTcpClient::WaitClosed(std::chrono::milliseconds Timeout) {
  // Reads (and drops) until end of stream, with a deadline.
  FSocket.non_blocking(true);
  const auto Until = std::chrono::steady_clock::now() + Timeout;
  char Buf[4096];
  while (std::chrono::steady_clock::now() < Until) {
    boost::system::error_code Ec;
    FSocket.read_some(asio::buffer(Buf), Ec);
    if (Ec == asio::error::would_block) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (Ec) return true;
  }
  return false;
}

void TTcpClient::Close() {
  boost::system::error_code Ignored;
  FSocket.shutdown(tcp::socket::shutdown_both, Ignored);
  FSocket.close(Ignored);
}

std::uint16_t TTcpClient::LocalPort() const { return FSocket.local_endpoint().port(); }

// ---------------------------------------------------------------------------
// HTTP

THttpAnswer HttpCall(std::uint16_t Port, const std::string& Path, const std::string& Body, const std::string& User,
                     const std::string& Password, const std::string& Session) {
  asio::io_context Io;
  boost::beast::tcp_stream Stream(Io);
  Stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), Port));
  http::request<http::string_body> Req{http::verb::post, Path, 11};
  Req.set(http::field::host, "127.0.0.1");
  Req.set(http::field::content_type, "application/json");
  if (!User.empty()) {
    const std::string Plain = User + ":" + Password;
    std::string Encoded(4 * ((Plain.size() + 2) / 3) + 1, '\0');
    const int N = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(Encoded.data()),
                                  reinterpret_cast<const unsigned char*>(Plain.data()), static_cast<int>(Plain.size()));
    Encoded.resize(static_cast<std::size_t>(N));
    Req.set(http::field::authorization, "Basic " + Encoded);
  }
  if (!Session.empty()) Req.set("X-Ordex-Session", Session);
  Req.body() = Body;
  Req.prepare_payload();
  http::write(Stream, Req);
  boost::beast::flat_buffer Buffer;
  http::response<http::string_body> Res;
  http::read(Stream, Buffer, Res);
  boost::system::error_code Ignored;
  Stream.socket().shutdown(tcp::socket::shutdown_both, Ignored);
  THttpAnswer A;
  A.Status = Res.result_int();
  A.Session = std::string(Res["X-Ordex-Session"]);
  A.ContentType = std::string(Res[http::field::content_type]);
  A.Body = Res.body();
  return A;
}

}  // namespace ordex::test
