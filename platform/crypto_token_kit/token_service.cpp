#include "platform/crypto_token_kit/token_service.h"

#include <dlfcn.h>

#include <fstream>

#include "platform/crypto_token_kit/tk_smart_card.h"
#include "platform/crypto_token_kit/token_service_core.h"
#include "platform/foundation/plist_codec.h"

namespace brellis::platform::crypto_token_kit {

namespace {

using foundation::Bytes;
using service_internal::Core;
using service_internal::failure;
using service_internal::LoadedPlugin;
using service_internal::openServiceSession;
using service_internal::pluginUnavailable;
using service_internal::serviceLog;

constexpr size_t kMaximumManifestSize = 1 << 20;

class TokenServiceImpl : public TokenService {
 public:
  explicit TokenServiceImpl(std::shared_ptr<Core> core) : core_(std::move(core)) {}
  ~TokenServiceImpl() override { core_->unload(); }

  const std::string& classID() const override { return core_->classID(); }
  const std::string& principalClass() const override { return core_->principalClass(); }
  std::vector<TokenInstance> tokenInstances() const override { return core_->tokenInstances(); }
  uint64_t addConfigurationObserver(std::function<void()> observer) override {
    return core_->addObserver(std::move(observer));
  }
  void removeConfigurationObserver(uint64_t handle) override { core_->removeObserver(handle); }

  TKResult<std::shared_ptr<TokenServiceSession>> openSession(
      const std::string& instanceID) override {
    auto token = core_->token(instanceID);
    if (!token) return tl::unexpected(token.error());
    TKResult<std::shared_ptr<TKTokenSession>> session = failure(TKErrorCode::notImplemented);
    try {
      session = (*token)->createSession();
    } catch (...) {
      return failure(TKErrorCode::notImplemented);
    }
    if (!session) return tl::unexpected(session.error());
    if (!*session) return failure(TKErrorCode::notImplemented);
    return openServiceSession(core_, instanceID, *token, *session);
  }

  TKResult<void> offerSmartCard(const std::string& slotName) override {
    auto driver = std::dynamic_pointer_cast<TKSmartCardTokenDriver>(core_->driver());
    if (!driver) return failure(TKErrorCode::notImplemented);
    auto token =
        driver->createTokenForSmartCard(std::make_shared<TKSmartCard>(slotName), std::nullopt);
    if (!token) return tl::unexpected(token.error());
    return {};
  }

  void unload() override { core_->unload(); }

 private:
  std::shared_ptr<Core> core_;
};

std::optional<std::string> manifestString(const foundation::PlistDict& manifest, const char* key) {
  const auto* value = manifest.find(key);
  if (!value || !value->string() || value->string()->empty()) return std::nullopt;
  return *value->string();
}

}  // namespace

TKResult<std::unique_ptr<TokenService>> TokenService::load(
    const std::filesystem::path& manifestPath, Options options) {
  std::ifstream file(manifestPath, std::ios::binary);
  if (!file) return pluginUnavailable("manifest cannot be read: " + manifestPath.string());
  Bytes bytes;
  char buffer[4096];
  while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
    bytes.insert(bytes.end(), buffer, buffer + file.gcount());
    if (bytes.size() > kMaximumManifestSize) return pluginUnavailable("manifest too large");
  }
  foundation::PlistDict manifest;
  try {
    auto value = foundation::readPlist(bytes);
    if (!value.dict()) return pluginUnavailable("manifest is not a dictionary");
    manifest = *value.dict();
  } catch (...) {
    return pluginUnavailable("manifest is not a property list");
  }
  auto executable = manifestString(manifest, kTokenPluginExecutableKey);
  auto principalClass = manifestString(manifest, kTokenPluginPrincipalClassKey);
  auto classID = manifestString(manifest, kTokenPluginClassIDKey);
  auto symbol = manifestString(manifest, kTokenPluginFactorySymbolKey);
  if (!executable || !principalClass || !classID || !symbol) {
    return pluginUnavailable("manifest lacks a required key");
  }
  if (executable->find('/') != std::string::npos) {
    return pluginUnavailable("the executable must lie beside the manifest");
  }
  if (!TKTokenDriverConfiguration::registerDriverClass(*classID)) {
    return pluginUnavailable("token class cannot be registered: " + *classID);
  }

  auto plugin = std::make_unique<LoadedPlugin>();
  auto libraryPath = manifestPath.parent_path() / *executable;
  plugin->handle = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!plugin->handle) {
    const char* reason = dlerror();
    return pluginUnavailable(std::string("library cannot be loaded: ") + (reason ? reason : ""));
  }
  auto factory =
      reinterpret_cast<BrellisTokenPluginFactoryFunction>(dlsym(plugin->handle, symbol->c_str()));
  if (!factory) return pluginUnavailable("factory symbol missing: " + *symbol);
  plugin->table = factory();
  if (!plugin->table || plugin->table->abiVersion != BRELLIS_TOKEN_PLUGIN_ABI_VERSION ||
      !plugin->table->makeDriver) {
    plugin->table = nullptr;
    return pluginUnavailable("plug-in of another interface version");
  }
  if (!plugin->table->makeDriver(principalClass->c_str(), &options.pluginSettings,
                                 &plugin->driver) ||
      !plugin->driver) {
    return pluginUnavailable("no driver for the principal class " + *principalClass);
  }
  serviceLog().info("Loaded token plug-in %{public}s for class %{public}s", libraryPath.string(),
                    *classID);
  auto core = std::make_shared<Core>(*classID, *principalClass, std::move(options));
  core->start(std::move(plugin));
  return std::unique_ptr<TokenService>(std::make_unique<TokenServiceImpl>(std::move(core)));
}

}  // namespace brellis::platform::crypto_token_kit
