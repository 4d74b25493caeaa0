#include "testing/phone/simulated_phone.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>

#include "beacon/beacon_data.h"
#include "connectivity/pairing_digest.h"
#include "connectivity/peer_manager.h"
#include "connectivity_protocol/authentication_request.h"
#include "connectivity_protocol/authentication_response.h"
#include "platform/core_bluetooth/simulated_radio.h"
#include "platform/crypto/crypto.h"
#include "platform/foundation/hex.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/uuid.h"
#include "platform/multipeer/nearby_service_advertiser.h"
#include "platform/multipeer/session.h"

namespace brellis::testing {

namespace fnd = platform::foundation;
namespace mp = platform::multipeer;
namespace proto = connectivity_protocol;
using fnd::Bytes;

namespace {

// The simulated radio is files with no change notification: the phone looks at it this often,
// as a real phone's scan sees adverts only at its own intervals.
constexpr std::chrono::milliseconds kRadioPoll{20};
constexpr size_t kGarbageByteCount = 40;

// Bytes in the event lines: hex, "-" for none.
std::string hex(const Bytes& bytes) { return bytes.empty() ? "-" : fnd::hexEncode(bytes); }

std::optional<std::string> readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using PKeyCtx = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

PKey loadKey(const std::string& pem) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  return PKey(key, EVP_PKEY_free);
}

std::optional<Bytes> ecdsaSign(EVP_PKEY* key, const Bytes& message) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  size_t size = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &size, message.data(), message.size()) != 1) {
    return std::nullopt;
  }
  Bytes out(size);
  if (EVP_DigestSign(ctx.get(), out.data(), &size, message.data(), message.size()) != 1) {
    return std::nullopt;
  }
  out.resize(size);
  return out;
}

// The raw RSA private-key operation on one block (no padding added or removed).
std::optional<Bytes> rsaRaw(EVP_PKEY* key, const Bytes& block, bool decrypt) {
  PKeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr), EVP_PKEY_CTX_free);
  if (!ctx) return std::nullopt;
  int init = decrypt ? EVP_PKEY_decrypt_init(ctx.get()) : EVP_PKEY_sign_init(ctx.get());
  if (init != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) != 1) {
    return std::nullopt;
  }
  size_t size = 0;
  auto run = [&](uint8_t* out) {
    return decrypt ? EVP_PKEY_decrypt(ctx.get(), out, &size, block.data(), block.size())
                   : EVP_PKEY_sign(ctx.get(), out, &size, block.data(), block.size());
  };
  if (run(nullptr) != 1) return std::nullopt;
  Bytes out(size);
  if (run(out.data()) != 1) return std::nullopt;
  out.resize(size);
  return out;
}

std::optional<Bytes> ecdh(EVP_PKEY* key, const Bytes& otherPoint) {
  char group[64] = {};
  size_t groupLength = 0;
  if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                     &groupLength) != 1) {
    return std::nullopt;
  }
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                        const_cast<uint8_t*>(otherPoint.data()), otherPoint.size()),
      OSSL_PARAM_construct_end(),
  };
  PKeyCtx fromData(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), EVP_PKEY_CTX_free);
  EVP_PKEY* peerRaw = nullptr;
  if (!fromData || EVP_PKEY_fromdata_init(fromData.get()) != 1 ||
      EVP_PKEY_fromdata(fromData.get(), &peerRaw, EVP_PKEY_PUBLIC_KEY, params) != 1) {
    return std::nullopt;
  }
  PKey peer(peerRaw, EVP_PKEY_free);
  PKeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr), EVP_PKEY_CTX_free);
  size_t size = 0;
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
      EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1 ||
      EVP_PKEY_derive(ctx.get(), nullptr, &size) != 1) {
    return std::nullopt;
  }
  Bytes out(size);
  if (EVP_PKEY_derive(ctx.get(), out.data(), &size) != 1) return std::nullopt;
  out.resize(size);
  return out;
}

// The keys a request may carry; anything else makes it undecodable for the phone.
const std::set<std::string>& requestKeys() {
  static const std::set<std::string> keys{
      "tag", "usage", "data", "certID", "pin", "ephemeralKey", "keyExchangeParams"};
  return keys;
}

}  // namespace

std::optional<SimulatedPhone::Step> SimulatedPhone::stepNamed(const std::string& name) {
  static const std::map<std::string, Step> steps{
      {"answer", Step::answer},
      {"silence", Step::silence},
      {"otherTag", Step::otherTag},
      {"garbageThenValid", Step::garbageThenValid},
      {"sealedGarbage", Step::sealedGarbage},
      {"late", Step::late},
      {"incorrectPIN", Step::incorrectPIN},
      {"failedLocalAuth", Step::failedLocalAuth},
      {"answerTwice", Step::answerTwice},
      {"dropLink", Step::dropLink},
      {"refuseInvitation", Step::refuseInvitation},
  };
  auto found = steps.find(name);
  if (found == steps.end()) return std::nullopt;
  return found->second;
}

struct SimulatedPhone::Core : public mp::NearbyServiceAdvertiserDelegate,
                              public mp::SessionDelegate,
                              public std::enable_shared_from_this<SimulatedPhone::Core> {
  explicit Core(Options o) : options(std::move(o)), peer(options.identifier) {}

  Options options;
  const mp::PeerID peer;
  std::mutex mutex;
  FILE* events = nullptr;
  std::atomic<bool> stopping{false};
  std::thread waiter;
  std::shared_ptr<mp::NearbyServiceAdvertiser> advertiser;
  std::map<const mp::Session*, std::pair<std::shared_ptr<mp::Session>, Step>> sessions;
  size_t invitations = 0;

  void event(const std::string& line) {
    std::lock_guard lock(mutex);
    if (!events) {
      std::fprintf(stdout, "%s\n", line.c_str());
      std::fflush(stdout);
    } else {
      std::fprintf(events, "%s\n", line.c_str());
      std::fflush(events);
    }
  }

  Bytes key() const {
    Bytes block = options.sharedSecret;
    block.insert(block.end(), {0, 0, 0, 1});
    Bytes digest = platform::crypto::sha256(block);
    platform::crypto::wipe(block);
    return digest;
  }

  void startAdvertising() {
    auto created =
        mp::NearbyServiceAdvertiser::create(peer, connectivity::PeerManager::serviceType);
    created->setDelegate(weak_from_this());
    {
      std::lock_guard lock(mutex);
      advertiser = created;
    }
    created->startAdvertisingPeer();
    event("advertising " + options.identifier);
  }

  // Wakes on the first sight of its beacon (then advertises on the link), and afterwards
  // reports every time the beacon comes on air again, until the phone stops.
  void waitForBeacon() {
    auto uuid = fnd::Uuid::parse(options.containerUUID);
    Bytes expected = beacon::BeaconData(*uuid, 1, 0, -50).payload();
    auto directory = platform::core_bluetooth::SimulatedRadio::defaultDirectory();
    bool awake = false;
    bool onAir = false;
    while (!stopping) {
      bool seen = false;
      for (const auto& advert :
           platform::core_bluetooth::SimulatedRadio::advertisements(directory)) {
        seen = seen || advert.payload == expected;
      }
      if (seen && !onAir) event("beacon " + options.containerUUID);
      onAir = seen;
      if (seen && !awake) {
        awake = true;
        // A scripted slow wake-up: the delay itself is what the test asks for.
        for (int waited = 0; waited < options.wakeMilliseconds && !stopping;
             waited += static_cast<int>(kRadioPoll.count())) {
          std::this_thread::sleep_for(kRadioPoll);
        }
        startAdvertising();
      }
      // The phone scans the air at intervals, as a real scanner does: the simulated radio's
      // folder of adverts is looked at again after each interval.
      std::this_thread::sleep_for(kRadioPoll);
    }
  }

  void didReceiveInvitationFromPeer(const std::shared_ptr<mp::NearbyServiceAdvertiser>&,
                                    const mp::PeerID& from, const std::optional<Bytes>& context,
                                    mp::InvitationHandler invitationHandler) override {
    Step step;
    {
      std::lock_guard lock(mutex);
      size_t index = std::min(invitations, options.script.size() - 1);
      step = options.script[index];
    }
    if (!context || !connectivity::contextMatches(
                        connectivity::pairingDigest(options.identifier, options.salt), *context)) {
      event("invitation refused " + from.displayName() + " context");
      invitationHandler(false, nullptr);
      return;
    }
    {
      std::lock_guard lock(mutex);
      ++invitations;
    }
    if (step == Step::refuseInvitation) {
      event("invitation refused " + from.displayName() + " script");
      invitationHandler(false, nullptr);
      return;
    }
    auto session = mp::Session::create(peer, mp::EncryptionPreference::required);
    session->setDelegate(weak_from_this());
    {
      std::lock_guard lock(mutex);
      sessions[session.get()] = {session, step};
    }
    event("invitation accepted " + from.displayName());
    invitationHandler(true, session);
  }

  void didNotStartAdvertisingPeer(const std::shared_ptr<mp::NearbyServiceAdvertiser>&,
                                  const fnd::ErrorRecord& error) override {
    event("error advertising: " + error.localizedDescription());
  }

  void didChangeState(const std::shared_ptr<mp::Session>& session, const mp::PeerID& from,
                      mp::SessionState state) override {
    event("state " + from.displayName() + " " + std::to_string(static_cast<int64_t>(state)));
    if (state == mp::SessionState::notConnected) {
      std::lock_guard lock(mutex);
      if (session->connectedPeers().empty()) sessions.erase(session.get());
    }
  }

  void send(const std::shared_ptr<mp::Session>& session, const mp::PeerID& to, const Bytes& frame) {
    try {
      session->sendData(frame, {to}, mp::SendDataMode::reliable);
      event("sent " + hex(frame));
    } catch (const std::exception& error) {
      event(std::string("error send: ") + error.what());
    }
  }

  Bytes seal(const Bytes& plaintext) {
    Bytes k = key();
    Bytes sealed = platform::crypto::aesGcmSeal(k, plaintext).combined();
    platform::crypto::wipe(k);
    return sealed;
  }
  Bytes seal(const proto::AuthenticationResponse& response) { return seal(response.encode()); }

  proto::AuthenticationResult perform(const proto::AuthenticationRequest& request) {
    using Case = proto::ConnectivityError::Case;
    auto fail = [](Case c) { return tl::unexpected(proto::ConnectivityError(c)); };
    auto pem = options.keyPEMs.find(request.certID());
    if (pem == options.keyPEMs.end()) return fail(Case::invalidCertificate);
    if (options.pin && request.pin() && *request.pin() != *options.pin) {
      return fail(Case::incorrectPIN);
    }
    PKey key = loadKey(pem->second);
    if (!key) return fail(Case::invalidCertificate);
    const bool rsa = EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_RSA;
    std::optional<Bytes> out;
    switch (request.usage()) {
      case proto::AuthenticationUsage::sign:
        out = rsa ? rsaRaw(key.get(), request.data(), false) : ecdsaSign(key.get(), request.data());
        if (!out) return fail(Case::failureSign);
        break;
      case proto::AuthenticationUsage::decrypt:
        out = rsa ? rsaRaw(key.get(), request.data(), true) : std::nullopt;
        if (!out) return fail(Case::failureDecrypt);
        break;
      case proto::AuthenticationUsage::keyExchange:
        if (!rsa && request.keyExchangeParams()) {
          out = ecdh(key.get(), request.keyExchangeParams()->otherPublicCert());
        }
        if (!out) return fail(Case::failureDecrypt);
        break;
    }
    return *out;
  }

  void didReceiveData(const std::shared_ptr<mp::Session>& session, const Bytes& data,
                      const mp::PeerID& from) override {
    event("received " + hex(data));
    Step step = Step::answer;
    {
      std::lock_guard lock(mutex);
      auto found = sessions.find(session.get());
      if (found != sessions.end()) step = found->second.second;
    }
    Bytes k = key();
    std::optional<Bytes> plaintext;
    try {
      plaintext = platform::crypto::aesGcmOpen(k, data);
    } catch (const std::exception&) {
    }
    platform::crypto::wipe(k);
    if (!plaintext) {
      event("unopenable " + hex(data));
      return;
    }
    std::optional<proto::AuthenticationRequest> request;
    try {
      // Strict: a binary property list whose keys are all known, decoded as a request.
      if (!fnd::looksLikeBinaryPlist(*plaintext)) throw std::runtime_error("not binary");
      auto value = fnd::readBinaryPlist(*plaintext);
      const auto* dict = value.dict();
      if (!dict) throw std::runtime_error("not a dictionary");
      for (const auto& [name, entry] : *dict) {
        if (!requestKeys().count(name)) throw std::runtime_error("unknown key " + name);
      }
      request = proto::AuthenticationRequest::fromPropertyList(value);
    } catch (const std::exception& error) {
      event(std::string("undecodable ") + error.what());
      return;
    }
    const auto& r = *request;
    const auto* params = r.keyExchangeParams() ? &*r.keyExchangeParams() : nullptr;
    event("request " + r.tag().string() + " " + proto::rawValue(r.usage()) + " " +
          std::to_string(r.certID()) + " " + (r.pin() ? *r.pin() : std::string("-")) + " " +
          hex(r.data()) +
          (params ? " other " + hex(params->otherPublicCert()) + " size " +
                        std::to_string(params->requestedSize()) + " info " +
                        (params->sharedInfo() ? hex(*params->sharedInfo()) : "none")
                  : std::string()));

    using Case = proto::ConnectivityError::Case;
    auto version =
        proto::unlockVersion(options.unlockVersion).value_or(proto::UnlockVersion::unlock_1_2_0);
    fnd::Uuid tag = r.tag();
    proto::AuthenticationResult result = proto::AuthenticationResult(Bytes{});
    switch (step) {
      case Step::silence:
        event("dropped");
        return;
      case Step::dropLink:
        event("dropped");
        session->cutAllLinks();
        return;
      case Step::incorrectPIN:
        result = tl::unexpected(proto::ConnectivityError(Case::incorrectPIN));
        break;
      case Step::failedLocalAuth:
        result = tl::unexpected(proto::ConnectivityError(Case::failedLocalAuth));
        break;
      case Step::otherTag:
        tag = fnd::Uuid::random();
        result = perform(r);
        break;
      default:
        result = perform(r);
        break;
    }
    Bytes frame = seal(proto::AuthenticationResponse(tag, std::move(result), version));
    switch (step) {
      case Step::garbageThenValid:
        send(session, from, platform::crypto::randomBytes(kGarbageByteCount));
        send(session, from, frame);
        break;
      case Step::sealedGarbage:
        send(session, from, seal(platform::crypto::randomBytes(kGarbageByteCount)));
        break;
      case Step::answerTwice:
        // The second answer carries the same tag and a different outcome, so that a test can
        // tell which one was taken.
        send(session, from, frame);
        send(session, from,
             seal(proto::AuthenticationResponse(
                 tag, tl::unexpected(proto::ConnectivityError(Case::failureSign)), version)));
        break;
      case Step::late: {
        auto self = shared_from_this();
        std::thread([self, session, from, frame] {
          // A scripted late answer: the delay itself is what the test asks for.
          std::this_thread::sleep_for(std::chrono::milliseconds(self->options.lateMilliseconds));
          self->send(session, from, frame);
        }).detach();
        break;
      }
      default:
        send(session, from, frame);
        break;
    }
  }
};

SimulatedPhone::SimulatedPhone(Options options)
    : core_(std::make_shared<Core>(std::move(options))) {
  if (core_->options.eventsFile) {
    core_->events = std::fopen(core_->options.eventsFile->c_str(), "a");
  }
}

SimulatedPhone::~SimulatedPhone() {
  stop();
  if (core_->events) std::fclose(core_->events);
}

void SimulatedPhone::start() {
  core_->event("ready");
  if (core_->options.startNow) {
    core_->startAdvertising();
  } else {
    core_->waiter = std::thread([core = core_] { core->waitForBeacon(); });
  }
}

void SimulatedPhone::stop() {
  core_->stopping = true;
  if (core_->waiter.joinable()) core_->waiter.join();
  std::shared_ptr<mp::NearbyServiceAdvertiser> advertiser;
  {
    std::lock_guard lock(core_->mutex);
    advertiser = std::move(core_->advertiser);
  }
  if (advertiser) advertiser->stopAdvertisingPeer();
}

std::optional<SimulatedPhone::Options> parsePhoneArguments(const std::vector<std::string>& args,
                                                           std::string* why) {
  SimulatedPhone::Options options;
  auto fail = [&](const std::string& reason) -> std::optional<SimulatedPhone::Options> {
    if (why) *why = reason;
    return std::nullopt;
  };
  bool haveSecret = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& flag = args[i];
    if (flag == "--start-now") {
      options.startNow = true;
      continue;
    }
    if (i + 1 >= args.size()) return fail("missing value for " + flag);
    const std::string& value = args[++i];
    if (flag == "--identifier") {
      options.identifier = value;
    } else if (flag == "--salt") {
      auto salt = fnd::hexDecode(value);
      if (!salt) return fail("--salt is not hexadecimal");
      options.salt = *salt;
    } else if (flag == "--container") {
      if (!fnd::Uuid::parse(value)) return fail("--container is not a UUID");
      options.containerUUID = value;
    } else if (flag == "--shared-secret") {
      auto text = readText(value);
      if (!text) return fail("cannot read " + value);
      options.sharedSecret.assign(text->begin(), text->end());
      haveSecret = true;
    } else if (flag == "--key") {
      auto equals = value.find('=');
      if (equals == std::string::npos) return fail("--key needs CERTID=PEMFILE");
      int64_t certID = 0;
      try {
        size_t used = 0;
        certID = std::stoll(value.substr(0, equals), &used);
        if (used != equals) return fail("--key certID is not a number");
      } catch (const std::exception&) {
        return fail("--key certID is not a number");
      }
      auto pem = readText(value.substr(equals + 1));
      if (!pem || !loadKey(*pem)) return fail("cannot read a private key from " + value);
      options.keyPEMs[certID] = *pem;
    } else if (flag == "--pin") {
      options.pin = value;
    } else if (flag == "--script") {
      options.script.clear();
      size_t start = 0;
      while (start <= value.size()) {
        size_t comma = value.find(',', start);
        std::string name =
            value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        auto step = SimulatedPhone::stepNamed(name);
        if (!step) return fail("unknown script step " + name);
        options.script.push_back(*step);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    } else if (flag == "--unlock-version") {
      if (value != "0" && value != "1") return fail("--unlock-version must be 0 or 1");
      options.unlockVersion = value == "1";
    } else if (flag == "--late-ms") {
      try {
        options.lateMilliseconds = std::stoi(value);
      } catch (const std::exception&) {
        return fail("--late-ms is not a number");
      }
    } else if (flag == "--wake-ms") {
      try {
        options.wakeMilliseconds = std::stoi(value);
      } catch (const std::exception&) {
        return fail("--wake-ms is not a number");
      }
    } else if (flag == "--events") {
      options.eventsFile = value;
    } else {
      return fail("unknown option " + flag);
    }
  }
  if (options.identifier.empty() || options.containerUUID.empty() || !haveSecret) {
    return fail("--identifier, --container and --shared-secret are required");
  }
  return options;
}

}  // namespace brellis::testing
