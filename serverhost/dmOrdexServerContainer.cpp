#include "serverhost/dmOrdexServerContainer.h"

#include "serverhost/OrdexMethodTable.h"

namespace ordex {

TdmOrdexServerContainers::TdmOrdexServerContainers(rpc::TRpcServerSettings Settings)
    : TdmQxServers(std::move(Settings)) {}

std::shared_ptr<const rpc::TRpcClass> TdmOrdexServerContainers::OrdexServerClassGetClass() {
  // The table is immutable once built; every container shares it.
  static const std::shared_ptr<const rpc::TRpcClass> Class = MakeOrdexServerRpcClass();
  return Class;
}

void TdmOrdexServerContainers::ServeOrdexServerClass() { SetGetClassHandler(&OrdexServerClassGetClass); }

}  // namespace ordex
