#pragma once

// The test daemon: a stand-in for the maker's privileged daemon that serves all 45 selectors of
// TarvoDaemonInterface over platform/xpc, at the privileged service "com.velkor.tarvo.daemon" of
// the state root (BRELLIS_ROOT). It runs as a program (brellis-test-daemon) or in-process
// (the library testing_test_daemon, class TestDaemon).
//
// Command line:
//   brellis-test-daemon [--service NAME] [--user] [--unlock-data FILE] [--unlock-status FILE]
//                       [--shared-secret FILE]
//   --service   the service name (default "com.velkor.tarvo.daemon"); --user serves it in the
//               user service directory instead of the privileged one.
//   The fixture files are served as they are (the bytes are opaque to the daemon): the unlock
//   data archive for unlockDataWithCompletion: / unlockDataForAccount:completion:, the unlock
//   status archive for the two unlock-status getters, the shared secret for
//   sharedSecretForAccount:completion:. Without a file those replies carry the selector's text.
//   The program writes "<state dir>/ready" (its pid) once it listens and runs until SIGTERM or
//   SIGINT (or a scripted "exit"). Starting it again with the same state root serves the same
//   socket path again (a restart).
//   For the production requirement to accept it, sign the binary (or a copy) with
//   testing/codesign (brellis-codesign sign <ca> <exe> com.velkor.tarvo.daemon <version>).
//
// State directory: <BRELLIS_ROOT>/test_daemon (or the directory given to TestDaemon).
//   script.json  read at every call (so another process can change it between calls):
//     { "<selector>": { "mode": "value" | "error" | "absent" | "both",
//                       "errorDomain": "D", "errorCode": N,          (for error / both)
//                       "delayMs": N,                                  (before replying)
//                       "action": "reply" | "noReply" | "close" | "exit",
//                       "reply": [ <wire value>, ... ] } }            (replaces the reply)
//     value: every reply value present (defaults below); error: values absent, the error set;
//     absent: nothing; both: values and error. noReply drops the reply block (the caller gets
//     the XPC layer's reply-invalid error); close cuts the connection mid-call; exit ends the
//     process (_exit(3)) mid-call. A selector without an entry answers "value".
//     Wire values in JSON: null, {"string": s}, {"data": hex}, {"int": n}, {"real": x},
//     {"bool": b}, {"date": seconds since 2001}, {"array": [...]}, {"dict": {k: v}},
//     {"error": {"domain": d, "code": n}}, {"endpoint": "stored"}.
//   calls.jsonl  one line per call, in arrival order: {"selector": s, "arguments": [<wire
//     value>...]} with descriptors and endpoints written as {"fd": true} / {"endpoint": true}.
// Default values: bytes = the selector's UTF-8 text (or the fixture), strings = the selector,
// numbers = 7, lists of bytes = [selector], dictionaries = {"selector": [selector]}, file
// handles = /dev/null, URLs = "file:///" + selector, the desktop asset's configuration = a
// keyed archive of the style `dark`. registerBrellisListenerEndpoint: stores the endpoint;
// brellisListenerEndpointWithCompletion: hands out the stored one (absent before any).

#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/plist_value.h"
#include "platform/xpc/endpoint.h"
#include "platform/xpc/value.h"
#include "platform/xpc/xpc_listener.h"

namespace brellis::testing {

class TestDaemon {
 public:
  struct Options {
    std::string serviceName = "com.velkor.tarvo.daemon";
    bool privileged = true;
    // Default: <BRELLIS_ROOT>/test_daemon.
    std::optional<std::filesystem::path> stateDirectory;
    std::optional<platform::foundation::Bytes> unlockData;
    std::optional<platform::foundation::Bytes> unlockStatus;
    std::optional<platform::foundation::Bytes> sharedSecret;
  };

  explicit TestDaemon(Options options);
  ~TestDaemon();

  // Starts listening; false (with the reason) when the service cannot be served.
  bool start(std::string* why = nullptr);
  void stop();

  const std::filesystem::path& stateDirectory() const { return stateDirectory_; }
  // Replaces script.json.
  void setScript(const nlohmann::json& script) const;
  // The recorded calls, read back from calls.jsonl.
  std::vector<nlohmann::json> calls() const;
  static std::vector<nlohmann::json> readCalls(const std::filesystem::path& stateDirectory);
  static void writeScript(const std::filesystem::path& stateDirectory,
                          const nlohmann::json& script);
  static std::filesystem::path defaultStateDirectory();

  std::optional<platform::xpc::Endpoint> storedEndpoint() const;
  // Cuts every accepted connection (the clients see the daemon go away).
  void killConnections();

  // Wire values <-> their JSON form of the script and the call log.
  static nlohmann::json toJson(const platform::xpc::Value& value);
  platform::xpc::Value fromJson(const nlohmann::json& json) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::filesystem::path stateDirectory_;
};

}  // namespace brellis::testing
