// Server-method classes as the remote-call server sees them: a name, a factory
// that makes one instance per session, and the methods with their parameter
// lists, result types and invokers.
//
// Registering a class:
//
//   auto Echo = std::make_shared<TRpcClassOf<TEcho>>("TEcho");   // default-constructs TEcho
//   Echo->Method("GetKolRows", {In("OrdexFilter", TRpcType::Text), Out("TotalSize", TRpcType::Text)},
//                TRpcType::Text, [](TEcho& Self, TCall& C) {
//                  std::string Total;
//                  C.Return(Self.GetKolRows(C.Text("OrdexFilter"), Total));
//                  C.Set("TotalSize", std::move(Total));
//                });
//   Server.RegisterClass(Echo);
//
// The invoker runs on a worker thread, in the session's order; an exception it
// throws becomes the call's error answer (message and error class name).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/rpc/RpcValue.h"
#include "platform/rpc/Session.h"

namespace ordex::rpc {

struct TRpcParam {
  std::string Name;
  TParamKind Kind = TParamKind::In;
  TRpcType Type = TRpcType::Text;
};
inline TRpcParam In(std::string Name, TRpcType Type) { return {std::move(Name), TParamKind::In, Type}; }
inline TRpcParam Var(std::string Name, TRpcType Type) { return {std::move(Name), TParamKind::Var, Type}; }
inline TRpcParam Out(std::string Name, TRpcType Type) { return {std::move(Name), TParamKind::Out, Type}; }

class TCall;
struct TRpcMethod {
  std::string Name;
  std::vector<TRpcParam> Params;
  std::optional<TRpcType> Result;                       // none for procedures
  std::function<void(void* Instance, TCall& Call)> Invoke;
};

// One call in progress: the checked arguments, the var/out values and the result.
class TCall {
 public:
  TCall(const TRpcMethod& Method, TSession& Session, std::vector<TRpcValue> Args);

  TSession& Session() const noexcept { return FSession; }
  const TRpcMethod& Method() const noexcept { return FMethod; }

  // Typed reads of an in/var parameter (or an out parameter's current value).
  // A wrong name or type is a registration bug and throws EArgumentError.
  const std::string& Text(std::string_view Name) const;
  bool Boolean(std::string_view Name) const;
  std::int32_t Int32(std::string_view Name) const;
  std::int64_t Int64(std::string_view Name) const;
  double Float(std::string_view Name) const;
  TDateTime DateTime(std::string_view Name) const;
  // The stream's bytes (none for a null stream); the method may move them out.
  std::optional<std::string>& Stream(std::string_view Name);

  // Sets a var/out parameter or the result; the value must fit the declared type
  // (Int32 widens to Int64 and Float). Unset out values and results answer the
  // type's zero value.
  void Set(std::string_view Name, TRpcValue Value);
  void Return(TRpcValue Value);
  void SetStream(std::string_view Name, std::optional<std::string> Bytes) { Set(Name, TRpcStream{std::move(Bytes)}); }
  void ReturnStream(std::optional<std::string> Bytes) { Return(TRpcStream{std::move(Bytes)}); }
  void ReturnDateTime(TDateTime Value) { Return(TRpcDateTime{Value}); }

  // The answer's "values" object: ReturnValue and the var/out parameters (not
  // var streams); stream bytes are moved into Blobs.
  nlohmann::json TakeValues(std::vector<std::string>& Blobs);

 private:
  std::size_t IndexOf(std::string_view Name) const;
  const TRpcValue& Get(std::string_view Name, TRpcType Type) const;

  const TRpcMethod& FMethod;
  TSession& FSession;
  std::vector<TRpcValue> FValues;  // one per parameter, in declaration order
  TRpcValue FResult;
};

// Checks and converts the arguments of a call. Args: an array (in/var parameters
// in declaration order, or every parameter with out positions ignored), an
// object (by exact parameter name; out names ignored, unknown names refused) or
// null (no arguments). Throws EArgumentError naming the parameter.
std::vector<TRpcValue> BindArguments(const TRpcMethod& Method, const nlohmann::json& Args,
                                     const std::vector<std::string>& Blobs);
// The same, moving each blob into the one stream argument that refers to it
// (a blob referred to more than once is copied), so large streams are not copied.
std::vector<TRpcValue> BindArguments(const TRpcMethod& Method, const nlohmann::json& Args,
                                     std::vector<std::string>&& Blobs);

// A server-method class: its name, its per-session instance factory and methods.
class TRpcClass {
 public:
  using TFactory = std::function<std::shared_ptr<void>()>;
  TRpcClass(std::string Name, TFactory Factory);
  virtual ~TRpcClass() = default;

  const std::string& Name() const noexcept { return FName; }
  // Makes the instance for one session (runs on a worker thread, in the session).
  std::shared_ptr<void> NewInstance() const { return FFactory(); }
  // The method of that exact name, or nullptr.
  const TRpcMethod* Find(std::string_view Name) const;
  // Adds (or replaces) a method; parameter names must be unique and not "ReturnValue".
  void AddMethod(TRpcMethod Method);

 private:
  std::string FName;
  TFactory FFactory;
  std::map<std::string, TRpcMethod, std::less<>> FMethods;
};

// A class served by instances of T, with typed method bodies.
template <class T>
class TRpcClassOf : public TRpcClass {
 public:
  using TBody = std::function<void(T& Self, TCall& Call)>;
  explicit TRpcClassOf(std::string Name, std::function<std::unique_ptr<T>()> Make = [] { return std::make_unique<T>(); })
      : TRpcClass(std::move(Name), [Make = std::move(Make)]() -> std::shared_ptr<void> { return std::shared_ptr<T>(Make()); }) {}

  // A function method.
  TRpcClassOf& Method(std::string Name, std::vector<TRpcParam> Params, TRpcType Result, TBody Body) {
    AddMethod({std::move(Name), std::move(Params), Result, Wrap(std::move(Body))});
    return *this;
  }
  // A procedure (no ReturnValue).
  TRpcClassOf& Method(std::string Name, std::vector<TRpcParam> Params, TBody Body) {
    AddMethod({std::move(Name), std::move(Params), std::nullopt, Wrap(std::move(Body))});
    return *this;
  }

 private:
  static auto Wrap(TBody Body) {
    return [Body = std::move(Body)](void* Instance, TCall& Call) { Body(*static_cast<T*>(Instance), Call); };
  }
};

}  // namespace ordex::rpc
