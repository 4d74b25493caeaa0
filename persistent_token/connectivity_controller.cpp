#include "persistent_token/connectivity_controller.h"

#include <asio/strand.hpp>
#include <exception>
#include <map>
#include <utility>

#include "connectivity/platform_peer_session.h"
#include "group_defaults/group_defaults.h"
#include "persistent_token/symmetric_crypto_service.h"
#include "platform/crypto_token_kit/tk_token_driver_configuration.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/task.h"
#include "platform/foundation/main_bundle.h"
#include "platform/foundation/uuid.h"
#include "platform/os_log/log_text.h"

namespace brellis::persistent_token {

namespace fnd = platform::foundation;
namespace mp = platform::multipeer;
namespace proto = connectivity_protocol;
using proto::ConnectivityError;

namespace {

constexpr const char* kLogCategory = "ConnectivityController";
constexpr const char* kNotPaired = "Can not %{public}@; not paired";
constexpr const char* kParametersUndefined = "Can not %{public}@; parameters undefined";
constexpr const char* kInitiate = "Initiate %{public}@ request";
constexpr const char* kTimeOut = "Time out of %{public}@ request";
constexpr const char* kReceivedResult = "Received %{public}@ result";
constexpr const char* kReceivedNilResult = "Received nil %{public}@ result";
constexpr const char* kBeaconDataUndefined = "Beacon data is undefined";
constexpr const char* kDisabling = "Disabling";
constexpr const char* kDisconnecting = "Disconnecting";
constexpr const char* kDisconnectedPeer = "Driver disconnected peer: %{public}@";
constexpr const char* kConnectingPeer = "Driver connecting peer: %{public}@";
constexpr const char* kConnectedPeer = "Driver connected peer: %{public}@";
constexpr const char* kUnknownState = "Driver in unknown session state with peer: %{public}@";
constexpr const char* kPublicText = "%{public}@";
constexpr const char* kSending = "Sending authentication request";
constexpr const char* kSealingFailed = "Unable to encrypt authentication request: %{public}@";
constexpr const char* kSendFailed = "Error sending authentication request: %{public}@";
constexpr const char* kReceivedData = "Driver received data from peer: %{public}@";
constexpr const char* kUnableToDecrypt = "Unable to decrypt data: %@";
constexpr const char* kReceivedAuthenticationData = "Received authentication data";
constexpr const char* kDidReceiveStream = "Driver MCSessionDelegate didReceive stream";
constexpr const char* kDidStartReceivingResource =
    "Driver MCSessionDelegate didStartReceivingResourceWithName";
constexpr const char* kDidFinishReceivingResource =
    "Driver MCSessionDelegate didFinishReceivingResourceWithName";

constexpr const char* kUnlockTokenClassID = "com.velkor.tarvo.unlock.token";
constexpr const char* kUnlockTokenInstanceID = "UnlockToken";

constexpr uint16_t kBeaconMajor = 1;
constexpr uint16_t kBeaconMinor = 0;
constexpr int8_t kBeaconMeasuredPower = -50;

ConnectivityError failure(ConnectivityError::Case value) { return ConnectivityError(value); }

const platform::os_log::Logger& controllerLog() {
  static const platform::os_log::Logger log(fnd::mainBundleIdentifier(), kLogCategory);
  return log;
}

// A peer's name as the log shows it: the peer chose it, so its control characters are escaped.
std::string peerName(const mp::PeerID& peer) {
  return platform::os_log::escapingControls(peer.displayName());
}

std::string currentErrorDescription() {
  return fnd::currentExceptionRecord().localizedDescription();
}

}  // namespace

struct ConnectivityController::State {
  // Held for the whole of one requestAuthentication: callers are served one at a time.
  std::mutex callers;

  // Guards everything below; never held while calling out.
  std::mutex mutex;
  std::condition_variable outcomeArrived;
  uint64_t lastGeneration = 0;
  uint64_t generation = 0;           // of the request in flight; 0: idle
  bool accepted = false;             // the request in flight has its outcome
  uint64_t connectedGeneration = 0;  // the last request whose phone has connected
  std::shared_ptr<connectivity::PeerSession> session;
  std::optional<fnd::Uuid> tag;
  std::optional<proto::AuthenticationRequest> request;
  std::optional<proto::AuthenticationResult> result;
  std::shared_ptr<beacon::VelkorBeacon> beacon;
  size_t beaconTasks = 0;
  uint64_t lastBeaconTask = 0;
  std::map<uint64_t, platform::dispatch::TaskHandle> beaconTaskHandles;
  std::condition_variable beaconTasksEnded;

  // Opened once; its operations go to the suite file and need no guard.
  std::optional<group_defaults::GroupDefaults> groupDefaults;
};

std::shared_ptr<ConnectivityController> ConnectivityController::create(
    mp::PeerID containerPeer, mp::PeerID driverPeer, ConnectivityControllerOptions options) {
  return std::shared_ptr<ConnectivityController>(new ConnectivityController(
      std::move(containerPeer), std::move(driverPeer), std::move(options)));
}

ConnectivityController::ConnectivityController(mp::PeerID containerPeer, mp::PeerID driverPeer,
                                               ConnectivityControllerOptions options)
    : localPeer_(std::move(driverPeer)),
      options_(std::move(options)),
      peerManager_(std::make_unique<connectivity::PeerManager>(localPeer_, options_.linkOptions)),
      state_(std::make_shared<State>()) {
  if (auto uuid = fnd::Uuid::parse(containerPeer.displayName())) {
    beaconData_.emplace(*uuid, kBeaconMajor, kBeaconMinor, kBeaconMeasuredPower);
  }
  state_->groupDefaults = group_defaults::GroupDefaults::init(group_defaults::GroupDefaults::name);
}

ConnectivityController::~ConnectivityController() {
  // Beacon tasks hold the controller, so none runs any more; a session left over (none normally)
  // is left by the peer manager's own teardown.
  peerManager_->stopBrowsing();
}

void ConnectivityController::requestAuthentication(
    proto::AuthenticationUsage usage, const fnd::Bytes& data, int64_t certID,
    std::optional<std::string> pin,
    std::optional<platform::crypto_token_kit::TKTokenKeyExchangeParameters> keyExchangeParameters,
    Completion completion) {
  const auto& log = controllerLog();
  const std::string usageText = proto::rawValue(usage);
  std::lock_guard serving(state_->callers);

  if (!connectivity::PeerManager::isPaired()) {
    log.error(kNotPaired, usageText);
    completion(tl::unexpected(failure(ConnectivityError::Case::failureEncode)));
    return;
  }

  std::optional<proto::KeyExchangeParams> keyExchangeParams;
  fnd::Bytes requestData = data;
  if (usage == proto::AuthenticationUsage::keyExchange) {
    if (!keyExchangeParameters) {
      log.error(kParametersUndefined, usageText);
      completion(tl::unexpected(failure(ConnectivityError::Case::failureEncode)));
      return;
    }
    // The other party's key travels only in otherPublicCert.
    keyExchangeParams.emplace(data, keyExchangeParameters->requestedSize,
                              keyExchangeParameters->sharedInfo);
    requestData.clear();
  }

  // makeAuthenticationRequest
  const fnd::Uuid tag = fnd::Uuid::random();
  proto::AuthenticationRequest request(tag, usage, std::move(requestData), certID, std::move(pin),
                                       fnd::Bytes{}, std::move(keyExchangeParams));
  log.info(kInitiate, usageText);

  auto session = options_.makeSession ? options_.makeSession(localPeer_)
                                      : connectivity::PeerManager::makeSession(localPeer_);
  session->setSessionDelegate(std::weak_ptr<connectivity::PeerSessionDelegate>(shared_from_this()));
  uint64_t generation = 0;
  std::shared_ptr<connectivity::PeerSession> previousSession;
  {
    std::lock_guard lock(state_->mutex);
    generation = ++state_->lastGeneration;
    state_->generation = generation;
    state_->accepted = false;
    state_->tag = tag;
    state_->request = std::move(request);
    state_->result.reset();
    previousSession = std::exchange(state_->session, session);
  }
  previousSession.reset();
  peerManager_->startBrowsing(session);
  startBeacon(generation);

  std::optional<proto::AuthenticationResult> outcome;
  bool timedOut = false;
  {
    std::unique_lock lock(state_->mutex);
    const auto deadline = std::chrono::steady_clock::now() + options_.authTimeout;
    timedOut = !state_->outcomeArrived.wait_until(lock, deadline, [&] { return state_->accepted; });
    if (!timedOut) outcome = state_->result;
    // From here on nothing is accepted for this request.
    state_->generation = 0;
    state_->accepted = false;
  }

  if (timedOut) {
    log.info(kTimeOut, usageText);
    completion(tl::unexpected(failure(ConnectivityError::Case::timedOut)));
  } else if (outcome) {
    log.info(kReceivedResult, usageText);
    completion(std::move(*outcome));
  } else {
    log.error(kReceivedNilResult, usageText);
    completion(tl::unexpected(failure(ConnectivityError::Case::nilResult)));
  }
  disconnect();
}

void ConnectivityController::waitForBeaconTasks() {
  std::unique_lock lock(state_->mutex);
  state_->beaconTasksEnded.wait(lock, [&] { return state_->beaconTasks == 0; });
}

void ConnectivityController::endBeaconTasks() {
  std::vector<platform::dispatch::TaskHandle> handles;
  {
    std::lock_guard lock(state_->mutex);
    for (auto& [id, handle] : state_->beaconTaskHandles) {
      if (handle.valid()) handles.push_back(handle);
    }
  }
  for (auto& handle : handles) handle.cancel();
  waitForBeaconTasks();
}

void ConnectivityController::deliver(uint64_t generation, proto::AuthenticationResult result) {
  {
    std::lock_guard lock(state_->mutex);
    // Only the first outcome of the request in flight counts; anything else is dropped, so no
    // signal is left over for a later request.
    if (generation == 0 || generation != state_->generation || state_->accepted) return;
    state_->result = std::move(result);
    state_->accepted = true;
  }
  state_->outcomeArrived.notify_all();
}

uint64_t ConnectivityController::generationOf(const std::shared_ptr<mp::Session>& session) const {
  std::lock_guard lock(state_->mutex);
  if (!state_->session || connectivity::platformSessionOf(state_->session) != session) return 0;
  return state_->generation;
}

uint64_t ConnectivityController::generationOf(
    const std::shared_ptr<connectivity::PeerSession>& session) const {
  std::lock_guard lock(state_->mutex);
  if (!state_->session || state_->session != session) return 0;
  return state_->generation;
}

namespace {

// The beacon run of one request. Holds the controller until it ends. A cancellation (the owner
// ends the tasks) cuts the delay and the run short but never the finish: from the delay on it is
// not thrown, so a run that was started is always followed by finish (advert stopped, token
// disabled, session disconnected).
asio::awaitable<void> beaconTask([[maybe_unused]] std::shared_ptr<ConnectivityController> holder,
                                 std::function<std::shared_ptr<beacon::VelkorBeacon>()> takeBeacon,
                                 std::function<void()> finish, std::chrono::nanoseconds delay,
                                 double interval, [[maybe_unused]] std::shared_ptr<void> ended) {
  co_await asio::this_coro::throw_if_cancelled(false);
  auto cancellation = co_await asio::this_coro::cancellation_state;
  if (cancellation.cancelled() == asio::cancellation_type::none) {
    try {
      co_await platform::dispatch::Clock::system()->sleep(delay);
    } catch (...) {
    }
  }
  auto beacon = takeBeacon();
  if (!beacon) co_return;
  try {
    // Still cancelled, the run starts and stops at once.
    co_await beacon->startAsync(interval);
  } catch (...) {
  }
  finish();
}

}  // namespace

void ConnectivityController::startBeacon(uint64_t generation) {
  if (!beaconData_) {
    controllerLog().error(kBeaconDataUndefined);
    return;
  }
  auto beacon = beacon::VelkorBeacon::create(*beaconData_, platform::dispatch::Clock::system(),
                                             options_.radio);
  std::weak_ptr<beacon::VelkorBeacon> ownBeacon = beacon;
  std::weak_ptr<connectivity::PeerSession> ownSession;
  uint64_t taskID = 0;
  std::shared_ptr<beacon::VelkorBeacon> previous;
  {
    std::lock_guard lock(state_->mutex);
    // A phone that connected before the beacon existed (the link can be that quick) has had its
    // beacon dropped already: this one is released at once, as it would have been on connect.
    if (state_->connectedGeneration == generation) {
      previous = std::move(beacon);
    } else {
      previous = std::exchange(state_->beacon, std::move(beacon));
    }
    ownSession = state_->session;
    ++state_->beaconTasks;
    taskID = ++state_->lastBeaconTask;
    state_->beaconTaskHandles.emplace(taskID, platform::dispatch::TaskHandle());
  }
  previous.reset();

  std::shared_ptr<State> state = state_;
  auto self = shared_from_this();
  // After the delay the task holds the beacon only if it is still this request's: one released
  // meanwhile (the phone connected) has stopped, and a later request's is not this task's.
  auto takeBeacon = [state, ownBeacon]() -> std::shared_ptr<beacon::VelkorBeacon> {
    std::lock_guard lock(state->mutex);
    auto own = ownBeacon.lock();
    if (!own || state->beacon != own) return nullptr;
    return own;
  };
  std::weak_ptr<ConnectivityController> weakSelf = self;
  auto finish = [weakSelf, generation, ownSession, ownBeacon]() {
    if (auto controller = weakSelf.lock()) {
      controller->disableToken(generation, ownSession);
      std::shared_ptr<beacon::VelkorBeacon> released;
      {
        std::lock_guard lock(controller->state_->mutex);
        auto own = ownBeacon.lock();
        if (own && controller->state_->beacon == own)
          released = std::move(controller->state_->beacon);
      }
    }
  };
  // Counts the task as ended when its frame goes, whichever way it goes (also when the pool is
  // torn down at exit).
  std::shared_ptr<void> ended(nullptr, [state, taskID](void*) {
    {
      std::lock_guard lock(state->mutex);
      --state->beaconTasks;
      state->beaconTaskHandles.erase(taskID);
    }
    state->beaconTasksEnded.notify_all();
  });
  auto handle = platform::dispatch::TaskHandle::spawn(
      asio::make_strand(platform::dispatch::globalExecutor()),
      beaconTask(std::move(self), std::move(takeBeacon), std::move(finish), options_.beaconDelay,
                 options_.beaconInterval, std::move(ended)));
  std::lock_guard lock(state->mutex);
  // A task that has ended already is no longer listed; its handle is not kept.
  if (auto entry = state->beaconTaskHandles.find(taskID); entry != state->beaconTaskHandles.end()) {
    entry->second = std::move(handle);
  }
}

void ConnectivityController::disableToken(uint64_t /*generation*/,
                                          std::weak_ptr<connectivity::PeerSession> ownSession) {
  const auto& log = controllerLog();
  log.info(kDisabling);
  auto configurations =
      platform::crypto_token_kit::TKTokenDriverConfiguration::driverConfigurations();
  if (auto found = configurations.find(kUnlockTokenClassID); found != configurations.end()) {
    found->second.removeTokenConfigurationForTokenInstanceID(kUnlockTokenInstanceID);
  }
  log.info(kDisconnecting);
  // Only the session of this task's own request is disconnected: a later request's is not ours.
  std::shared_ptr<connectivity::PeerSession> session;
  {
    std::lock_guard lock(state_->mutex);
    auto own = ownSession.lock();
    if (own && state_->session == own) session = std::exchange(state_->session, nullptr);
  }
  if (session) session->disconnect();
}

void ConnectivityController::sendAuthenticationRequest(
    uint64_t generation, std::shared_ptr<connectivity::PeerSession> session, mp::PeerID peer) {
  const auto& log = controllerLog();
  std::shared_ptr<beacon::VelkorBeacon> released;
  std::optional<proto::AuthenticationRequest> request;
  {
    std::lock_guard lock(state_->mutex);
    if (generation == 0 || generation != state_->generation) return;
    released = std::move(state_->beacon);
    state_->connectedGeneration = generation;
    request = state_->request;
  }
  // A beacon still in its delay stops here; one in its run is held by its task to the end.
  released.reset();
  peerManager_->stopBrowsing();

  std::optional<fnd::Bytes> encoded;
  if (request) {
    try {
      encoded = request->encode();
    } catch (const std::exception&) {
    }
  }
  if (!encoded) {
    log.error(kPublicText,
              std::string(ConnectivityError(ConnectivityError::Case::failureEncode).rawValue()));
    deliver(generation, tl::unexpected(failure(ConnectivityError::Case::failureEncode)));
    return;
  }
  log.info(kSending);

  auto sendTask = [](std::shared_ptr<ConnectivityController> self, uint64_t generation,
                     std::shared_ptr<connectivity::PeerSession> session, mp::PeerID peer,
                     fnd::Bytes plaintext) -> asio::awaitable<void> {
    const auto& log = controllerLog();
    std::optional<fnd::Bytes> sealed;
    try {
      sealed = co_await SymmetricCryptoService::encrypt(std::move(plaintext));
    } catch (const std::exception&) {
      // No outcome: the request ends by its time limit.
      log.error(kSealingFailed, currentErrorDescription());
    }
    if (!sealed) co_return;
    try {
      session->send(*sealed, {peer}, mp::SendDataMode::reliable);
    } catch (const std::exception&) {
      log.error(kSendFailed, currentErrorDescription());
      self->deliver(generation, tl::unexpected(failure(ConnectivityError::Case::failureSend)));
    }
  };
  platform::dispatch::detach(sendTask(shared_from_this(), generation, std::move(session),
                                      std::move(peer), std::move(*encoded)));
}

void ConnectivityController::handleAuthenticationData(uint64_t generation, const fnd::Bytes& data) {
  const auto& log = controllerLog();
  log.info(kReceivedAuthenticationData);
  std::optional<proto::AuthenticationResponse> response;
  try {
    response = proto::AuthenticationResponse::decode(data);
  } catch (const std::exception&) {
  }
  if (!response) {
    log.error(kPublicText,
              std::string(ConnectivityError(ConnectivityError::Case::failureDecode).rawValue()));
    deliver(generation, tl::unexpected(failure(ConnectivityError::Case::failureDecode)));
    return;
  }
  bool tagMatches = false;
  {
    std::lock_guard lock(state_->mutex);
    // An answer that belongs to no request in flight is dropped.
    if (generation == 0 || generation != state_->generation) return;
    tagMatches = state_->tag && *state_->tag == response->tag();
  }
  if (!tagMatches) {
    deliver(generation, tl::unexpected(failure(ConnectivityError::Case::unknownTag)));
    return;
  }
  if (state_->groupDefaults) {
    state_->groupDefaults->set(fnd::PlistValue(proto::rawValue(response->unlockVersion())),
                               group_defaults::GroupDefaults::Key::unlockVersion);
  }
  deliver(generation, response->result());
}

void ConnectivityController::disconnect() {
  std::shared_ptr<connectivity::PeerSession> session;
  {
    std::lock_guard lock(state_->mutex);
    state_->tag.reset();
    state_->request.reset();
    state_->result.reset();
    session = std::exchange(state_->session, nullptr);
  }
  controllerLog().info(kDisconnecting);
  if (session) session->disconnect();
  // Browsing ends with the request (it would otherwise go on inviting into a dead session).
  peerManager_->stopBrowsing();
}

void ConnectivityController::didChangeState(const std::shared_ptr<mp::Session>& session,
                                            const mp::PeerID& peer, mp::SessionState state) {
  const auto& log = controllerLog();
  switch (state) {
    case mp::SessionState::notConnected:
      log.info(kDisconnectedPeer, peerName(peer));
      return;
    case mp::SessionState::connecting:
      log.info(kConnectingPeer, peerName(peer));
      return;
    case mp::SessionState::connected: {
      log.info(kConnectedPeer, peerName(peer));
      uint64_t generation = 0;
      std::shared_ptr<connectivity::PeerSession> peerSession;
      {
        std::lock_guard lock(state_->mutex);
        if (state_->session && connectivity::platformSessionOf(state_->session) == session) {
          generation = state_->generation;
          peerSession = state_->session;
        }
      }
      if (peerSession) sendAuthenticationRequest(generation, std::move(peerSession), peer);
      return;
    }
  }
  log.info(kUnknownState, peerName(peer));
}

void ConnectivityController::didReceiveData(const std::shared_ptr<mp::Session>& session,
                                            const fnd::Bytes& data, const mp::PeerID& fromPeer) {
  controllerLog().info(kReceivedData, peerName(fromPeer));
  const uint64_t generation = generationOf(session);
  auto openTask = [](std::shared_ptr<ConnectivityController> self, uint64_t generation,
                     fnd::Bytes sealed) -> asio::awaitable<void> {
    std::optional<fnd::Bytes> opened;
    try {
      opened = co_await SymmetricCryptoService::decrypt(std::move(sealed));
    } catch (const std::exception&) {
      // Ignored: the request keeps waiting for an answer that opens.
      controllerLog().error(kUnableToDecrypt, currentErrorDescription());
    }
    if (opened) self->handleAuthenticationData(generation, *opened);
  };
  platform::dispatch::detach(openTask(shared_from_this(), generation, data));
}

void ConnectivityController::didReceiveStream(const std::shared_ptr<mp::Session>&,
                                              const std::string&, const mp::PeerID&) {
  controllerLog().error(kDidReceiveStream);
}

void ConnectivityController::didStartReceivingResource(const std::shared_ptr<mp::Session>&,
                                                       const std::string&, const mp::PeerID&) {
  controllerLog().error(kDidStartReceivingResource);
}

void ConnectivityController::didFinishReceivingResource(const std::shared_ptr<mp::Session>&,
                                                        const std::string&, const mp::PeerID&,
                                                        const std::optional<fnd::ErrorRecord>&) {
  controllerLog().error(kDidFinishReceivingResource);
}

void ConnectivityController::session(const std::shared_ptr<connectivity::PeerSession>& session,
                                     const mp::PeerID& didConnect) {
  sendAuthenticationRequest(generationOf(session), session, didConnect);
}

void ConnectivityController::session(const std::shared_ptr<connectivity::PeerSession>& session,
                                     const fnd::Bytes& didReceive) {
  handleAuthenticationData(generationOf(session), didReceive);
}

}  // namespace brellis::persistent_token
