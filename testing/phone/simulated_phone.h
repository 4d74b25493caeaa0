#pragma once

// The simulated phone: a stand-in for the paired phone's application. It runs as a program
// (brellis-phone) over the real simulated radio and peer link of the state root (BRELLIS_ROOT)
// and needs no daemon: it is given the shared secret that the test daemon hands out.
//
// Command line:
//   brellis-phone --identifier ID --salt HEX --container UUID --shared-secret FILE
//                 [--key CERTID=PEMFILE]... [--pin PIN] [--script STEP[,STEP...]]
//                 [--unlock-version 0|1] [--late-ms N] [--wake-ms N] [--start-now]
//                 [--events FILE]
//   --identifier  its pairing identifier: the display name it advertises under ("velkor-unlock")
//   --salt        the pairing salt (hex): an invitation is accepted only when its context is
//                 SHA-256(identifier ‖ salt)
//   --container   the UUID it answers to: it starts advertising once the radio carries the beacon
//                 UUID ‖ 00 01 ‖ 00 00 ‖ CE (or at once with --start-now), then stays up
//   --shared-secret  file with the secret bytes; the key is X9.63-SHA-256(secret, 32 bytes)
//   --key         the private key (PEM, EC P-256 or RSA) for the request's certID; repeatable
//   --pin         the PIN it expects: a request whose pin is present and differs is answered
//                 incorrectPIN (a request without a pin is served)
//   --script      one step per accepted invitation, in order; the last step repeats:
//                   answer            do the operation and answer (the default)
//                   silence           never answer
//                   otherTag          answer under a fresh tag
//                   garbageThenValid  send 40 bytes that cannot be opened, then the answer
//                   sealedGarbage     send 40 random bytes sealed with the key: they open, but
//                                     are no answer
//                   late              answer after --late-ms milliseconds (default 1000)
//                   incorrectPIN      answer the failure incorrectPIN
//                   failedLocalAuth   answer the failure failedLocalAuth
//                   answerTwice       send the answer twice
//                   dropLink          cut the link instead of answering
//                   refuseInvitation  decline the invitation (takes the step without a request)
//   --unlock-version  the unlockVersion of every answer (default 1)
//   --wake-ms     how long it takes to wake: the delay between seeing the beacon and advertising
//                 (default 0)
//   --events      append the event lines to FILE (flushed line by line) instead of stdout
// Operations: sign with an EC key is ECDSA over the whole message with SHA-256 (DER signature);
// sign and decrypt with an RSA key are the raw private-key operation on the given block;
// keyExchange is ECDH with the key 04‖X‖Y of otherPublicCert (the raw shared secret). An unknown
// certID is answered invalidCertificate, a failed operation failureSign / failureDecrypt.
// It runs until SIGTERM or SIGINT.
//
// Events, one line each on stdout (or in the --events file), space-separated:
//   ready | beacon UUID (each time its beacon comes on air) | advertising ID | invitation
//   accepted|refused PEER [why] | state PEER 0|1|2 | received HEX | unopenable HEX | request TAG
//   USAGE CERTID PIN|- DATAHEX | undecodable | sent HEX | dropped | error TEXT
// (HEX: the bytes in lower-case hexadecimal, "-" when empty.)

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/plist_value.h"

namespace brellis::testing {

class SimulatedPhone {
 public:
  enum class Step {
    answer,
    silence,
    otherTag,
    garbageThenValid,
    sealedGarbage,
    late,
    incorrectPIN,
    failedLocalAuth,
    answerTwice,
    dropLink,
    refuseInvitation,
  };
  static std::optional<Step> stepNamed(const std::string& name);

  struct Options {
    std::string identifier;
    platform::foundation::Bytes salt;
    std::string containerUUID;
    platform::foundation::Bytes sharedSecret;
    std::map<int64_t, std::string> keyPEMs;  // certID -> PEM text
    std::optional<std::string> pin;
    std::vector<Step> script{Step::answer};
    int64_t unlockVersion = 1;
    int lateMilliseconds = 1000;
    int wakeMilliseconds = 0;
    bool startNow = false;
    std::optional<std::filesystem::path> eventsFile;
  };

  explicit SimulatedPhone(Options options);
  ~SimulatedPhone();

  // Waits for the beacon (unless startNow) in the background, then advertises.
  void start();
  void stop();

 private:
  struct Core;
  std::shared_ptr<Core> core_;
};

// Parses the command line above; nullopt (with the reason) when it is not valid.
std::optional<SimulatedPhone::Options> parsePhoneArguments(const std::vector<std::string>& args,
                                                           std::string* why);

}  // namespace brellis::testing
