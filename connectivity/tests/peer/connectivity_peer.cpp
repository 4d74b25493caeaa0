// The second process of the connectivity tests, one role per run.
// Usage: connectivity_peer pairing-child <salt hex>   the advertising phone of the pairing test:
//                                                      log lines and session events on stdout,
//                                                      data echoed back, until stdin closes
//        connectivity_peer <defaults role> <argument> <output file>
//                                                      the other program's side of the peer
//                                                      defaults tests (write-data-form,
//                                                      make-peer, get-peer)
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>

#include "connectivity/pairing_identity.h"
#include "connectivity/peer_defaults.h"
#include "connectivity/peer_defaults_store.h"
#include "connectivity/peer_manager.h"
#include "connectivity/platform_peer_session.h"
#include "group_defaults/group_defaults.h"
#include "platform/dispatch/main_loop.h"
#include "platform/foundation/defaults.h"
#include "platform/foundation/hex.h"
#include "platform/multipeer/tests/link_test_support.h"
#include "platform/os_log/logger.h"

using brellis::platform::foundation::hexDecode;
using brellis::platform::foundation::hexEncode;

namespace brellis::connectivity {
namespace {

namespace mp = platform::multipeer;
namespace os_log = platform::os_log;
namespace fnd = platform::foundation;
using platform::foundation::Bytes;
using State = mp::SessionState;

std::mutex outputMutex;
void say(const std::string& line) {
  std::lock_guard lock(outputMutex);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// The child's view: every log line and session event goes to stdout; data is echoed back.
class PrintingSink : public os_log::LogSink {
 public:
  void write(const os_log::LogRecord& record) override { say("log " + record.text); }
};

class EchoDelegate : public mp::SessionDelegate {
 public:
  void didChangeState(const std::shared_ptr<mp::Session>&, const mp::PeerID&,
                      State state) override {
    say("state " + std::to_string(static_cast<int>(state)));
  }
  void didReceiveData(const std::shared_ptr<mp::Session>& session, const Bytes& data,
                      const mp::PeerID& peer) override {
    say("data " + hexEncode(data));
    Bytes echo;
    echo.reserve(data.size() + 1);
    echo.push_back(0xEE);
    echo.insert(echo.end(), data.begin(), data.end());
    session->sendData(echo, {peer}, mp::SendDataMode::reliable);
  }
};

int pairingChild(const std::string& salt) {
  os_log::Logger::setSinks({std::make_shared<PrintingSink>()});
  os_log::Logger::setMinimumLevel(os_log::LogLevel::debug);
  PeerManager manager(mp::PeerID("PHONE-A"), mp::testing::fastOptions());
  auto session = PeerManager::makeSession(manager.peer());
  auto echo = std::make_shared<EchoDelegate>();
  platformSessionOf(session)->setDelegate(echo);
  manager.pair(hexDecode(salt).value(), session);
  say("ready");
  char buffer[64];
  while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
  return 0;
}

PairingIdentity identity(const std::string& id) {
  return PairingIdentity(id, "Phone " + id, {1, 2, static_cast<uint8_t>(id.size())}, {9, 8});
}

int defaultsRole(const std::string& role, const std::string& argument, const std::string& output) {
  std::ofstream out(output);
  if (role == "write-data-form") {
    // The main program's group-defaults writer: the raw property-list bytes.
    fnd::Defaults::open(group_defaults::GroupDefaults::name)
        ->set("PairingIdentities", fnd::PlistValue(encodePairingIdentities({identity(argument)})));
  } else if (role == "make-peer") {
    out << PeerDefaults::makePeer(argument, "ContainerPeer").uniqueIdentity();
  } else if (role == "get-peer") {
    std::optional<mp::PeerID> peer = PeerDefaults::getPeer("ContainerPeer");
    if (peer) out << peer->displayName() << "/" << peer->uniqueIdentity();
  } else {
    return 2;
  }
  return 0;
}

}  // namespace
}  // namespace brellis::connectivity

int main(int argc, char** argv) {
  int result = 2;
  if (argc == 3 && std::string(argv[1]) == "pairing-child") {
    result = brellis::connectivity::pairingChild(argv[2]);
  } else if (argc == 4) {
    result = brellis::connectivity::defaultsRole(argv[1], argv[2], argv[3]);
  }
  // As the test main does: no pool thread may outlive what it uses.
  if (!brellis::platform::dispatch::shutdownForExit()) {
    std::fflush(nullptr);
    ::_exit(result);
  }
  return result;
}
