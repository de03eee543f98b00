// The remote face of the document service: the class "TOrdexServerClass" with
// every remote method, its parameter names, kinds and types, bound to the
// methods of TOrdexServerClass. One instance is made per client session.
#pragma once

#include <memory>

#include "platform/rpc/MethodTable.h"

namespace ordex {

// The remote-call class of the document service.
std::shared_ptr<rpc::TRpcClass> MakeOrdexServerRpcClass();

}  // namespace ordex
