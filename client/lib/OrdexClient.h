// Client of the Ordex server: calls server methods over the TCP transport
// (framed messages), HTTP or HTTPS, with arguments as JSON and streams as blobs.
// Blocking; one object is one connection and one session; not thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/qxError.h"

namespace ordex::client {

// Https is the HTTP transport over TLS 1.2 or later.
enum class TTransport { Tcp, Http, Https };

// Connection options; set them before Connect().
struct TClientOptions {
  // Each is the longest wait for one step; zero or less means no limit.
  std::chrono::milliseconds ConnectTimeout{30000};  // name lookup, TCP connect and TLS handshake
  std::chrono::milliseconds ReadTimeout{30000};     // a whole answer must arrive within
  std::chrono::milliseconds WriteTimeout{30000};    // a whole request must leave within
  // HTTPS: the server certificate is checked against the system's trusted
  // authorities, or only against the PEM certificates of CaFile when it is set,
  // and must name the host (ServerName when set, else the host of Connect()).
  std::string CaFile;
  std::string ServerName;
  // HTTPS: accepts any certificate. For tests against self-signed servers only.
  bool Insecure = false;
};

// A failed remote call: the server's message and error class name.
class ERemoteError : public Exception {
 public:
  ERemoteError(const std::string& Message, std::string RemoteType, int HttpStatus = 0)
      : Exception(Message), FRemoteType(std::move(RemoteType)), FHttpStatus(HttpStatus) {}
  const char* ClassName() const noexcept override { return "ERemoteError"; }
  // The server's error class, e.g. "EDatabaseError".
  const std::string& RemoteType() const noexcept { return FRemoteType; }
  // The HTTP status of the answer (0 over TCP).
  int HttpStatus() const noexcept { return FHttpStatus; }

 private:
  std::string FRemoteType;
  int FHttpStatus;
};
// The server refused the login; what() is its refusal text.
class ELoginError : public ERemoteError {
 public:
  using ERemoteError::ERemoteError;
  const char* ClassName() const noexcept override { return "ELoginError"; }
};
// The server cannot be reached, did not answer in time, its certificate was
// refused, or the connection broke or spoke nonsense.
ORDEX_DECLARE_ERROR(EConnectionError, Exception)

// The values of an answer ("ReturnValue", var and out parameters; streams as
// {"$blob": N}) and the blobs they refer to.
struct TCallResult {
  nlohmann::json Values;
  std::vector<std::string> Blobs;
};

// One answer read with Receive(): a result or an error, with the call's id.
struct TReply {
  std::int64_t Id = -1;  // -1 when the answer names no call
  bool Ok = false;
  TCallResult Result;
  std::string Error;
  std::string Type;
  nlohmann::json Header;  // the answer's header as received
};

class TOrdexClient {
 public:
  TOrdexClient();
  ~TOrdexClient();
  TOrdexClient(const TOrdexClient&) = delete;
  TOrdexClient& operator=(const TOrdexClient&) = delete;

  // Options for the next Connect() (timeouts also apply to a live connection).
  void SetOptions(TClientOptions Options);
  const TClientOptions& Options() const noexcept;

  // Opens the connection; throws EConnectionError (also for TLS failures, with
  // OpenSSL's reason, e.g. "certificate verify failed").
  void Connect(const std::string& Host, std::uint16_t Port, TTransport Transport = TTransport::Tcp);
  // Logs in with the MD5 hex digest of the password. Over TCP the login frame
  // is sent at once (ELoginError on refusal); over HTTP the credentials go with
  // the first call, whose refusal then throws ELoginError.
  void Login(const std::string& User, const std::string& PasswordMd5, const std::string& AppName = "ordex");
  // Calls Class.Method; Args is a JSON array (by position) or object (by name);
  // streams are {"$blob": N} referring to Blobs. Throws ERemoteError on failure.
  TCallResult Call(const std::string& Class, const std::string& Method, const nlohmann::json& Args = nlohmann::json::array(),
                   std::vector<std::string> Blobs = {});
  // Ends the session and closes the connection (errors ignored).
  void Logout();
  // Closes the connection without logging out.
  void Close();

  // Session id given by the server (empty before login / first HTTP call).
  const std::string& SessionId() const noexcept;
  // HTTP: asks for a bare octet-stream body when the only stream is the result.
  void SetAcceptOctetStream(bool Accept);

  // TCP only: sends a call without waiting (returns its id) and reads the next
  // answer; answers arrive in the order the calls were sent.
  std::int64_t Send(const std::string& Class, const std::string& Method, const nlohmann::json& Args,
                    std::vector<std::string> Blobs = {});
  TReply Receive();
  // TCP only: sends raw bytes (tests of malformed input).
  void SendRaw(const std::string& Bytes);

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace ordex::client
