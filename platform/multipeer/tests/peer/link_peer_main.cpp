// A peer of the local link in its own process, for the cross-process tests: it advertises
// argv[2] under the service type argv[1], accepts every invitation and echoes every message back
// with a leading 0xEE. Events are printed to stdout, one per line: "state N", "data HEX".
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/foundation/hex.h"
#include "platform/multipeer/nearby_service_advertiser.h"
#include "platform/multipeer/session.h"
#include "testing/support/wait_until.h"

using brellis::platform::foundation::hexEncode;

namespace mp = brellis::platform::multipeer;

namespace {

std::mutex outputMutex;

void say(const std::string& line) {
  std::lock_guard lock(outputMutex);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

class Echo : public mp::SessionDelegate, public mp::NearbyServiceAdvertiserDelegate {
 public:
  explicit Echo(std::shared_ptr<mp::Session> session) : session_(std::move(session)) {}
  void didChangeState(const std::shared_ptr<mp::Session>&, const mp::PeerID&,
                      mp::SessionState state) override {
    say("state " + std::to_string(static_cast<int>(state)));
  }
  void didReceiveData(const std::shared_ptr<mp::Session>& session, const mp::Bytes& data,
                      const mp::PeerID& peer) override {
    say("data " + hexEncode(data));
    mp::Bytes echo;
    echo.reserve(data.size() + 1);
    echo.push_back(0xEE);
    echo.insert(echo.end(), data.begin(), data.end());
    try {
      session->sendData(echo, {peer}, mp::SendDataMode::reliable);
    } catch (const std::exception& error) {
      say(std::string("send failed ") + error.what());
    }
  }
  void didReceiveInvitationFromPeer(const std::shared_ptr<mp::NearbyServiceAdvertiser>&,
                                    const mp::PeerID& peer, const std::optional<mp::Bytes>&,
                                    mp::InvitationHandler handler) override {
    say("invitation " + peer.displayName());
    handler(true, session_);
  }
  void didNotStartAdvertisingPeer(const std::shared_ptr<mp::NearbyServiceAdvertiser>&,
                                  const brellis::platform::foundation::ErrorRecord&) override {
    say("failed");
  }

 private:
  std::shared_ptr<mp::Session> session_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  auto session = mp::Session::create(mp::PeerID(argv[2]), mp::EncryptionPreference::required);
  auto echo = std::make_shared<Echo>(session);
  session->setDelegate(echo);
  mp::LinkOptions options;
  options.pollInterval = std::chrono::milliseconds(10);
  auto advertiser = mp::NearbyServiceAdvertiser::create(session->myPeerID(), argv[1], options);
  advertiser->setDelegate(echo);
  advertiser->startAdvertisingPeer();
  say("ready");
  // Lives until stdin closes (or the test kills it).
  char buffer[64];
  while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
  advertiser->stopAdvertisingPeer();
  session->disconnect();
  // The end of the link goes out on the pool: the process ends once no handler holds the
  // session or the advertiser any more (a handler still queued then finds them gone).
  std::weak_ptr<mp::Session> sessionLeft = session;
  std::weak_ptr<mp::NearbyServiceAdvertiser> advertiserLeft = advertiser;
  echo.reset();
  advertiser.reset();
  session.reset();
  return brellis::testing::waitUntil(
             [&] { return sessionLeft.expired() && advertiserLeft.expired(); })
             ? 0
             : 1;
}
