#include "login_app/brellis_token_manager_dependencies.h"

#include "login_app/peer_defaults_wrapper.h"
#include "token_host/token_host_wrapper.h"

namespace brellis::login_app {

const BrellisTokenManagerDependencies& BrellisTokenManagerDependencies::defaultDependencies() {
  static const BrellisTokenManagerDependencies dependencies{
      std::make_shared<PeerDefaultsWrapper>(),
      group_defaults::GroupDefaults::init(group_defaults::GroupDefaults::name),
      std::make_shared<token_host::TokenHostWrapper>(token_host::DriverDomain::brellis)};
  return dependencies;
}

}  // namespace brellis::login_app
