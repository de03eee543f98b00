#include "platform/rpc/MethodTable.h"

#include <set>

#include "common/qxError.h"

namespace ordex::rpc {

namespace {

constexpr std::string_view ResultName = "ReturnValue";

bool IsInput(const TRpcParam& P) noexcept { return P.Kind != TParamKind::Out; }

}  // namespace

TCall::TCall(const TRpcMethod& Method, TSession& Session, std::vector<TRpcValue> Args)
    : FMethod(Method), FSession(Session), FValues(std::move(Args)) {
  FValues.resize(FMethod.Params.size());
  for (std::size_t I = 0; I < FValues.size(); ++I)
    if (std::holds_alternative<std::monostate>(FValues[I])) FValues[I] = DefaultValue(FMethod.Params[I].Type);
  if (FMethod.Result) FResult = DefaultValue(*FMethod.Result);
}

std::size_t TCall::IndexOf(std::string_view Name) const {
  for (std::size_t I = 0; I < FMethod.Params.size(); ++I)
    if (FMethod.Params[I].Name == Name) return I;
  throw EArgumentError("Method " + FMethod.Name + " has no parameter \"" + std::string(Name) + "\"");
}

const TRpcValue& TCall::Get(std::string_view Name, TRpcType Type) const {
  const std::size_t I = IndexOf(Name);
  if (FMethod.Params[I].Type != Type)
    throw EArgumentError("Parameter \"" + std::string(Name) + "\" is not of type " + TypeName(Type));
  return FValues[I];
}

const std::string& TCall::Text(std::string_view Name) const { return std::get<std::string>(Get(Name, TRpcType::Text)); }
bool TCall::Boolean(std::string_view Name) const { return std::get<bool>(Get(Name, TRpcType::Boolean)); }
std::int32_t TCall::Int32(std::string_view Name) const { return std::get<std::int32_t>(Get(Name, TRpcType::Int32)); }
std::int64_t TCall::Int64(std::string_view Name) const { return std::get<std::int64_t>(Get(Name, TRpcType::Int64)); }
double TCall::Float(std::string_view Name) const { return std::get<double>(Get(Name, TRpcType::Float)); }
TDateTime TCall::DateTime(std::string_view Name) const {
  return std::get<TRpcDateTime>(Get(Name, TRpcType::DateTime)).Value;
}
std::optional<std::string>& TCall::Stream(std::string_view Name) {
  Get(Name, TRpcType::Stream);
  return std::get<TRpcStream>(FValues[IndexOf(Name)]).Bytes;
}

void TCall::Set(std::string_view Name, TRpcValue Value) {
  const std::size_t I = IndexOf(Name);
  if (FMethod.Params[I].Kind == TParamKind::In)
    throw EArgumentError("Parameter \"" + std::string(Name) + "\" is an in parameter");
  FValues[I] = CoerceValue(std::move(Value), FMethod.Params[I].Type, Name);
}

void TCall::Return(TRpcValue Value) {
  if (!FMethod.Result) throw EArgumentError("Method " + FMethod.Name + " returns no value");
  FResult = CoerceValue(std::move(Value), *FMethod.Result, ResultName);
}

nlohmann::json TCall::TakeValues(std::vector<std::string>& Blobs) {
  nlohmann::json Values = nlohmann::json::object();
  if (FMethod.Result) Values[std::string(ResultName)] = ValueToJson(std::move(FResult), Blobs);
  for (std::size_t I = 0; I < FMethod.Params.size(); ++I) {
    const TRpcParam& P = FMethod.Params[I];
    if (P.Kind == TParamKind::In) continue;
    if (P.Kind == TParamKind::Var && P.Type == TRpcType::Stream) continue;  // not sent back
    Values[P.Name] = ValueToJson(std::move(FValues[I]), Blobs);
  }
  return Values;
}

namespace {

// Checks the shape of Args and converts each in/var argument with
// Convert(json, parameter); see BindArguments.
template <class TConvert>
std::vector<TRpcValue> Bind(const TRpcMethod& Method, const nlohmann::json& Args, TConvert&& Convert) {
  const auto& Params = Method.Params;
  std::vector<TRpcValue> Values(Params.size());
  std::size_t InputCount = 0;
  for (const auto& P : Params) InputCount += IsInput(P) ? 1 : 0;

  if (Args.is_null() || Args.is_array()) {
    const std::size_t Given = Args.is_null() ? 0 : Args.size();
    if (Given == InputCount) {
      std::size_t Next = 0;
      for (std::size_t I = 0; I < Params.size(); ++I)
        if (IsInput(Params[I])) Values[I] = Convert(Args[Next++], Params[I]);
    } else if (Given == Params.size() && Given > 0) {
      for (std::size_t I = 0; I < Params.size(); ++I)
        if (IsInput(Params[I])) Values[I] = Convert(Args[I], Params[I]);
    } else {
      throw EArgumentError("Method " + Method.Name + " takes " + std::to_string(InputCount) + " arguments, " +
                           std::to_string(Given) + " given");
    }
    return Values;
  }
  if (!Args.is_object()) throw EArgumentError("Arguments must be a JSON array or object");
  for (const auto& [Key, Unused] : Args.items()) {
    bool Known = false;
    for (const auto& P : Params) Known = Known || P.Name == Key;
    if (!Known) throw EArgumentError("Method " + Method.Name + " has no parameter \"" + Key + "\"");
  }
  for (std::size_t I = 0; I < Params.size(); ++I) {
    if (!IsInput(Params[I])) continue;
    const auto It = Args.find(Params[I].Name);
    if (It == Args.end()) throw EArgumentError("Parameter \"" + Params[I].Name + "\": missing");
    Values[I] = Convert(*It, Params[I]);
  }
  return Values;
}

}  // namespace

std::vector<TRpcValue> BindArguments(const TRpcMethod& Method, const nlohmann::json& Args,
                                     const std::vector<std::string>& Blobs) {
  return Bind(Method, Args, [&](const nlohmann::json& J, const TRpcParam& P) {
    return ValueFromJson(J, P.Type, P.Name, Blobs);
  });
}

std::vector<TRpcValue> BindArguments(const TRpcMethod& Method, const nlohmann::json& Args,
                                     std::vector<std::string>&& Blobs) {
  if (Blobs.empty()) return BindArguments(Method, Args, static_cast<const std::vector<std::string>&>(Blobs));
  // First pass: how many stream arguments refer to each blob (shape errors
  // are left to the second pass, which reports them).
  std::vector<unsigned> Uses(Blobs.size(), 0);
  try {
    Bind(Method, Args, [&](const nlohmann::json& J, const TRpcParam& P) -> TRpcValue {
      if (P.Type == TRpcType::Stream)
        if (const auto I = BlobIndexFromJson(J, P.Name, Blobs.size())) ++Uses[*I];
      return {};
    });
  } catch (const EArgumentError&) {
  }
  return Bind(Method, Args, [&](const nlohmann::json& J, const TRpcParam& P) -> TRpcValue {
    if (P.Type != TRpcType::Stream) return ValueFromJson(J, P.Type, P.Name, Blobs);
    const auto I = BlobIndexFromJson(J, P.Name, Blobs.size());
    if (!I) return TRpcStream{};
    if (Uses[*I] == 1) return TRpcStream{std::move(Blobs[*I])};
    return TRpcStream{Blobs[*I]};
  });
}

TRpcClass::TRpcClass(std::string Name, TFactory Factory) : FName(std::move(Name)), FFactory(std::move(Factory)) {}

const TRpcMethod* TRpcClass::Find(std::string_view Name) const {
  const auto It = FMethods.find(Name);
  return It == FMethods.end() ? nullptr : &It->second;
}

void TRpcClass::AddMethod(TRpcMethod Method) {
  std::set<std::string, std::less<>> Names;
  for (const auto& P : Method.Params)
    if (P.Name.empty() || P.Name == ResultName || !Names.insert(P.Name).second)
      throw EArgumentError("Method " + Method.Name + ": bad or repeated parameter name \"" + P.Name + "\"");
  std::string Key = Method.Name;
  FMethods.insert_or_assign(std::move(Key), std::move(Method));
}

}  // namespace ordex::rpc
