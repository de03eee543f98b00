#include "client/lib/OrdexSession.h"

#include "common/qxBase.h"

namespace ordex::client {

using nlohmann::json;

std::string ProtocolName(TTransport Transport) {
  switch (Transport) {
    case TTransport::Tcp: return "tcp/ip";
    case TTransport::Http: return "http";
    case TTransport::Https: return "https";
  }
  return "tcp/ip";
}

std::string SessionInfoJson(const std::string& Login, const std::string& PasswordMd5, TTransport Transport) {
  // The server fills UserID, RoleID and RoleName from the user's row.
  nlohmann::ordered_json J;
  J["Login"] = Login;
  J["UserID"] = "";
  J["PasswdMd5"] = PasswordMd5;
  J["RoleID"] = "";
  J["RoleName"] = "";
  J["Protocol"] = ProtocolName(Transport);
  return J.dump();
}

std::string NewClientID() { return NewID(); }

TOrdexSession::TOrdexSession(TConnectParams Params) : FParams(std::move(Params)) { Open(); }

TOrdexSession::~TOrdexSession() { Logout(); }

void TOrdexSession::Open() {
  auto Client = std::make_unique<TOrdexClient>();
  Client->SetOptions(FParams.Options);
  Client->Connect(FParams.Host, FParams.Port, FParams.Transport);
  Client->Login(FParams.User, FParams.PasswordMd5, FParams.App);
  // Over HTTP the credentials travel with this first call; its refusal is an ELoginError.
  const TCallResult R = Client->Call(
      kServerClass, "Hello", json::array({SessionInfoJson(FParams.User, FParams.PasswordMd5, FParams.Transport)}));
  const auto Ok = R.Values.find("ReturnValue");
  if (Ok == R.Values.end() || !Ok->is_boolean() || !Ok->get<bool>()) {
    Client->Logout();
    throw ELoginError("Hello: the server did not accept the login " + FParams.User, "ELoginError");
  }
  FSessionInfo = json::object();
  const auto Info = R.Values.find("ConnectInfo");
  if (Info != R.Values.end() && Info->is_string()) {
    json Parsed = json::parse(Info->get<std::string>(), nullptr, false);
    if (Parsed.is_object()) FSessionInfo = std::move(Parsed);
  }
  FClient = std::move(Client);
}

void TOrdexSession::Reconnect() {
  if (FClient) FClient->Close();
  FClient.reset();
  Open();
}

void TOrdexSession::Logout() {
  if (FClient) FClient->Logout();
  FClient.reset();
}

bool TOrdexSession::IsAdmin() const {
  const auto It = FSessionInfo.find("RoleID");
  if (It == FSessionInfo.end() || !It->is_string()) return false;
  const std::string Role = It->get<std::string>();
  return Role == "-1" || Role == "1";
}

TCallResult TOrdexSession::Call(const std::string& Method, const json& Args, std::vector<std::string> Blobs) {
  if (!FClient) throw EConnectionError("Not connected");
  return FClient->Call(kServerClass, Method, Args, std::move(Blobs));
}

std::string TOrdexSession::CallText(const std::string& Method, const json& Args, std::vector<std::string> Blobs) {
  const TCallResult R = Call(Method, Args, std::move(Blobs));
  const auto It = R.Values.find("ReturnValue");
  if (It == R.Values.end() || It->is_null()) return {};
  return It->is_string() ? It->get<std::string>() : It->dump();
}

std::string TOrdexSession::CallStream(const std::string& Method, const json& Args) {
  TCallResult R = Call(Method, Args);
  const auto It = R.Values.find("ReturnValue");
  if (It == R.Values.end() || It->is_null()) return {};
  const auto Blob = It->is_object() ? It->find("$blob") : It->end();
  if (Blob == It->end() || !Blob->is_number_integer() || Blob->get<std::int64_t>() < 0 ||
      Blob->get<std::uint64_t>() >= R.Blobs.size())
    throw EConnectionError("Bad answer: " + Method + " returned no stream");
  return std::move(R.Blobs[Blob->get<std::size_t>()]);
}

TRemoteDataset TOrdexSession::Dataset(const std::string& Method, const json& Args, const std::string& TableName) {
  return TRemoteDataset::FromStream(CallStream(Method, Args), TableName);
}

void TOrdexSession::Post(const std::string& Method, const std::vector<TRemoteDataset*>& DataSets) {
  std::vector<const TRemoteDataset*> Changed;
  for (const TRemoteDataset* D : DataSets)
    if (D && D->HasChanges()) Changed.push_back(D);
  if (Changed.empty()) return;
  try {
    Call(Method, json::array({json{{"$blob", 0}}}), {BuildChangeSet(Changed)});
  } catch (const ELoginError&) {
    throw;
  } catch (const ERemoteError& E) {
    if (IsApplyErrorReport(E.what())) throw EPostError(E, ParseApplyErrors(E.what()));
    throw;
  }
  for (TRemoteDataset* D : DataSets)
    if (D) D->MergeChangeLog();
}

}  // namespace ordex::client
