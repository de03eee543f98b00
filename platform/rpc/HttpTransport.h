// Internal: the HTTP transport (and HTTPS over it). Sessions are named by the
// X-Ordex-Session header; a request without one logs in with Basic credentials.
#pragma once

#include <memory>
#include <string>

#include "platform/rpc/Runtime.h"

namespace ordex::rpc::detail {

// Serves an accepted socket whose executor is the connection's strand, over
// TLS when the runtime has a TLS context.
void StartHttpConnection(TRuntime& Run, tcp::socket Socket);

// The server's TLS context from a PEM certificate chain and key: TLS 1.2 and
// 1.3 only, forward-secret AEAD ciphers, no compression or renegotiation.
// Throws EArgumentError when only one file is given, EFileError naming a file
// that cannot be used.
std::shared_ptr<asio::ssl::context> MakeServerTls(const std::string& CertFile, const std::string& KeyFile);

}  // namespace ordex::rpc::detail
