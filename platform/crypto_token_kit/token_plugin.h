#pragma once

#include <cstdint>
#include <memory>

#include "platform/crypto_token_kit/tk_token_driver.h"
#include "platform/foundation/plist_value.h"

// The one symbol a token plug-in exports. A plug-in is a shared library that carries its own
// copy of every library it uses (nothing but this symbol is visible outside it), so objects
// cross between the service and the plug-in only as the base classes of this folder.

// Version of the table below; a plug-in of another version is refused.
#define BRELLIS_TOKEN_PLUGIN_ABI_VERSION 1u

extern "C" {

struct BrellisTokenPlugin {
  uint32_t abiVersion;
  // Makes the driver of the manifest's principal class into *driver. False (and *driver left
  // empty) when the plug-in has no class of that name. `settings` are the service's plug-in
  // settings (durations that tests shorten; the plug-in documents its keys), read during the
  // call only.
  bool (*makeDriver)(const char* principalClass,
                     const brellis::platform::foundation::PlistDict* settings,
                     std::shared_ptr<brellis::platform::crypto_token_kit::TKTokenDriver>* driver);
  // Called once, after the service has released every object the plug-in made: returns when
  // no work of the plug-in runs any more (background work it started is waited for, within that
  // work's own limits). The plug-in may be loaded again afterwards.
  void (*shutdown)();
};

// The factory symbol; its name is given by the manifest (kTokenPluginFactorySymbolKey).
using BrellisTokenPluginFactoryFunction = const BrellisTokenPlugin* (*)();
}
