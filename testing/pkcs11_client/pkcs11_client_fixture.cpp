#include "testing/pkcs11_client/pkcs11_client_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "connectivity/peer_defaults.h"
#include "group_defaults/group_defaults.h"
#include "platform/crypto_token_kit/pkcs11/service_token_backend.h"
#include "platform/crypto_token_kit/tk_token_driver_configuration.h"
#include "token_host/keychain_items.h"
#include "token_host/unlock_token_configuration.h"

extern char** environ;

namespace brellis::testing {

namespace {

namespace ctk = platform::crypto_token_kit;
using group_defaults::GroupDefaults;

constexpr const char* kContainerUUID = "6E3C1F0A-6F43-4A8B-9C39-1D2A3B4C5D6E";

std::string pluginClass() {
  // The class of the plug-in's manifest (the main program's token class).
  return "com.velkor.tarvo.brellis.token";
}

}  // namespace

std::vector<std::string> clientEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> added{std::string(ctk::pkcs11::kManifestEnvironmentVariable) + "=" +
                                 BRELLIS_TOKEN_PLUGIN_MANIFEST};
#ifdef BRELLIS_SANITIZER_PRELOAD
  // The client is not built with the sanitizer: its own leaks are not this module's.
  added.push_back(std::string("LD_PRELOAD=") + BRELLIS_SANITIZER_PRELOAD);
  added.push_back("ASAN_OPTIONS=detect_leaks=0");
#endif
  added.insert(added.end(), extra.begin(), extra.end());
  auto name = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) environment.emplace_back(*entry);
  for (const auto& a : added) {
    std::erase_if(environment, [&](const std::string& e) { return name(e) == name(a); });
    environment.push_back(a);
  }
  return environment;
}

ClientRun runClient(const std::string& program, const std::vector<std::string>& arguments,
                    std::chrono::milliseconds limit, const std::vector<std::string>& extra) {
  ClientRun run;
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return run;
  if (::pipe2(err, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<std::string> environment = clientEnvironment(extra);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> all{program};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& argument : all) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned =
      ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned != 0) {
    ::close(out[0]);
    ::close(err[0]);
    return run;
  }
  // Both pipes are drained while the client runs, so a full pipe never stops it.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  bool killed = false;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.status = !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

Pkcs11ClientFixture::Pkcs11ClientFixture(const ctk::test_support::TestCertificate& certificate,
                                         Settings settings) {
  certificate_ = certificate.der;
  installToken(settings.pinConstraints);

  auto defaults = GroupDefaults::init(GroupDefaults::name);
  if (!defaults) throw std::runtime_error("group defaults");
  defaults->set(platform::foundation::PlistValue(settings.requirePIN),
                GroupDefaults::Key::requirePIN);
  defaults->set(platform::foundation::PlistValue(true), GroupDefaults::Key::enableUnlockForLogin);
  defaults->set(platform::foundation::PlistValue(settings.unlockVersion),
                GroupDefaults::Key::unlockVersion);
  connectivity::PeerDefaults::makePeer(kContainerUUID, "ContainerPeer");
  connectivity::PeerDefaults::makePeer("Driver", "DriverPeer");
}

std::string Pkcs11ClientFixture::modulePath() { return BRELLIS_PKCS11_MODULE; }

std::string Pkcs11ClientFixture::manifestPath() { return BRELLIS_TOKEN_PLUGIN_MANIFEST; }

ClientRun Pkcs11ClientFixture::pkcs11Tool(const std::vector<std::string>& arguments) const {
  std::vector<std::string> all{"--module", modulePath()};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return runClient("pkcs11-tool", all);
}

std::filesystem::path Pkcs11ClientFixture::writeFile(const std::string& name,
                                                     const std::string& bytes) const {
  auto path = root() / name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string Pkcs11ClientFixture::readFile(const std::filesystem::path& path) const {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

void Pkcs11ClientFixture::installToken(bool pinConstraints) const {
  auto items = token_host::makeKeychainItems(certificate_);
  if (!items) throw std::runtime_error("keychain items");
  if (!pinConstraints) {
    for (auto& item : *items) item->setConstraints({});
  }
  ctk::TKTokenDriverConfiguration::registerDriverClass(pluginClass());
  auto classes = ctk::TKTokenDriverConfiguration::driverConfigurations();
  auto configuration = classes.at(pluginClass())
                           .addTokenConfigurationForTokenInstanceID(token_host::tokenInstanceID);
  configuration.setKeychainItems(*items);
}

void Pkcs11ClientFixture::removeToken() const {
  auto classes = ctk::TKTokenDriverConfiguration::driverConfigurations();
  classes.at(pluginClass()).removeTokenConfigurationForTokenInstanceID(token_host::tokenInstanceID);
}

}  // namespace brellis::testing
