// A logged-in conversation with TOrdexServerClass: connect, log in, greet with
// Hello (so that rights, audit columns and the administrator test apply), call
// methods, read datasets, post change sets, and reconnect after a dropped
// connection. Blocking and not thread-safe, like the client it wraps.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/lib/OrdexClient.h"
#include "client/lib/OrdexDataset.h"

namespace ordex::client {

// The server-method class every session talks to.
inline constexpr const char* kServerClass = "TOrdexServerClass";

// Where and as whom to connect.
struct TConnectParams {
  std::string Host = "127.0.0.1";
  std::uint16_t Port = 4321;
  TTransport Transport = TTransport::Tcp;
  TClientOptions Options;
  std::string User;
  std::string PasswordMd5;  // MD5Hex of the password, never the password itself
  std::string App = "ordex";
};

// A transfer whose result does not match what was expected (digest or size).
ORDEX_DECLARE_ERROR(EVerifyError, Exception)

// A post whose rows failed: the server's message with its error report read.
class EPostError : public ERemoteError {
 public:
  EPostError(const ERemoteError& E, std::vector<TApplyError> Errors)
      : ERemoteError(E.what(), E.RemoteType(), E.HttpStatus()), FErrors(std::move(Errors)) {}
  const char* ClassName() const noexcept override { return "EPostError"; }
  // The failed rows, most recent first; may be empty (some posts report none).
  const std::vector<TApplyError>& Errors() const noexcept { return FErrors; }

 private:
  std::vector<TApplyError> FErrors;
};

// The protocol name a transport reports in the session record.
std::string ProtocolName(TTransport Transport);
// The session record sent to Hello (keys Login, UserID, PasswdMd5, RoleID,
// RoleName, Protocol, in that order).
std::string SessionInfoJson(const std::string& Login, const std::string& PasswordMd5, TTransport Transport);

class TOrdexSession {
 public:
  // Connects, logs in and greets. Throws EConnectionError when the server
  // cannot be reached and ELoginError when the login or the greeting is refused.
  explicit TOrdexSession(TConnectParams Params);
  // Logs out (errors ignored).
  ~TOrdexSession();
  TOrdexSession(const TOrdexSession&) = delete;
  TOrdexSession& operator=(const TOrdexSession&) = delete;

  // Drops the connection (if any) and opens a new logged-in, greeted session.
  void Reconnect();
  // Logs out now; later calls fail until Reconnect().
  void Logout();

  // The session record as the server returned it from Hello.
  const nlohmann::json& SessionInfo() const noexcept { return FSessionInfo; }
  const std::string& Login() const noexcept { return FParams.User; }
  // Whether the user's role is an administrator role ("-1" or "1").
  bool IsAdmin() const;
  const TConnectParams& Params() const noexcept { return FParams; }
  TOrdexClient& Client() noexcept { return *FClient; }

  // Calls a method of TOrdexServerClass; throws ERemoteError or EConnectionError.
  TCallResult Call(const std::string& Method, const nlohmann::json& Args, std::vector<std::string> Blobs = {});
  // The "ReturnValue" of a call as text ("" when absent or null; numbers and
  // Booleans in their JSON form).
  std::string CallText(const std::string& Method, const nlohmann::json& Args, std::vector<std::string> Blobs = {});
  // The returned stream of a call (its "ReturnValue" blob; "" for a null stream).
  std::string CallStream(const std::string& Method, const nlohmann::json& Args);
  // The table TableName of the dataset stream a method returns.
  TRemoteDataset Dataset(const std::string& Method, const nlohmann::json& Args, const std::string& TableName);
  // Posts the pending changes of DataSets through Method (StreamPostFileList, ...).
  // Nothing is sent when no dataset has changes. A refused post throws
  // EPostError with the report read; the datasets keep their changes then,
  // and lose them (merged) on success.
  void Post(const std::string& Method, const std::vector<TRemoteDataset*>& DataSets);

 private:
  void Open();

  TConnectParams FParams;
  std::unique_ptr<TOrdexClient> FClient;
  nlohmann::json FSessionInfo;
};

// A new identifier as the server makes them: 32 lower-case hexadecimal digits.
std::string NewClientID();

}  // namespace ordex::client
