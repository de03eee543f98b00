// Internal: one call as the transports hand it to the sessions, and its
// outcome as they answer it, independent of the transport.
#pragma once

#include <exception>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/qxError.h"

namespace ordex::rpc::detail {

struct TCallRequest {
  std::string Class;
  std::string Method;
  nlohmann::json Args;
  std::vector<std::string> Blobs;
};

enum class TStatus { Ok, BadRequest, Unauthorized, Forbidden, NotFound, Failed };

struct TOutcome {
  TStatus Status = TStatus::Ok;
  nlohmann::json Values;
  std::vector<std::string> Blobs;
  std::string Error;
  std::string Type;
};

inline TOutcome Failure(TStatus Status, std::string Error, std::string Type) {
  TOutcome O;
  O.Status = Status;
  O.Error = std::move(Error);
  O.Type = std::move(Type);
  return O;
}
inline TOutcome Failure(TStatus Status, const std::exception& E) { return Failure(Status, E.what(), ErrorClassName(E)); }

// The HTTP status that answers an outcome.
inline unsigned HttpStatusOf(TStatus S) noexcept {
  switch (S) {
    case TStatus::Ok: return 200;
    case TStatus::BadRequest: return 400;
    case TStatus::Unauthorized: return 401;
    case TStatus::Forbidden: return 403;
    case TStatus::NotFound: return 404;
    case TStatus::Failed: return 500;
  }
  return 500;
}

}  // namespace ordex::rpc::detail
