#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/core_bluetooth/radio_backend.h"

namespace brellis::platform::core_bluetooth {

// A radio simulated in a folder that any process may read and write:
//   state          decimal state value; missing: powered on (5); unreadable text: unknown (0)
//   authorization  decimal authorization value; missing: allowed always (3)
//   start-error    when present, every start fails with its text as the error's description
//   adverts/<advertiser>.adv   the 21 payload bytes of each advertisement on air
// Without the folder the radio does not exist: the state is unsupported (2). Every file is
// replaced whole (temporary file + rename), so readers never see a partial value. Changes made
// by other processes are noticed by polling the state files every `pollInterval` while somebody
// observes the radio.
class SimulatedRadio : public RadioBackend {
 public:
  static constexpr std::chrono::milliseconds kDefaultPollInterval{100};

  struct Advertisement {
    std::string advertiser;
    foundation::Bytes payload;
  };

  explicit SimulatedRadio(std::filesystem::path directory,
                          std::chrono::nanoseconds pollInterval = kDefaultPollInterval);
  ~SimulatedRadio() override;

  // <state root>/radio, or /run/brellis/radio without a state root.
  static std::filesystem::path defaultDirectory();

  const std::filesystem::path& directory() const { return directory_; }

  RadioStatus status() const override;
  std::shared_ptr<void> observe(std::function<void()> changed) override;
  void startAdvertising(const std::string& advertiser, foundation::Bytes payload,
                        StartCompletion done) override;
  void stopAdvertising(const std::string& advertiser) override;

  // Control of a radio folder, for tests, the demo and the simulated phone. Each returns false
  // when the file system refused the change.
  static bool install(const std::filesystem::path& directory,
                      ManagerState state = ManagerState::poweredOn,
                      ManagerAuthorization authorization = ManagerAuthorization::allowedAlways);
  static bool uninstall(const std::filesystem::path& directory);
  static bool setState(const std::filesystem::path& directory, ManagerState state);
  static bool setAuthorization(const std::filesystem::path& directory,
                               ManagerAuthorization authorization);
  // A message makes every later start fail with it; nullopt makes starts succeed again.
  static bool setStartFailure(const std::filesystem::path& directory,
                              std::optional<std::string> message);
  // The advertisements on air, ordered by advertiser. Files of processes that no longer exist
  // and files that are not exactly 21 bytes long are skipped.
  static std::vector<Advertisement> advertisements(const std::filesystem::path& directory);

 private:
  struct Monitor;
  std::filesystem::path directory_;
  std::shared_ptr<Monitor> monitor_;
};

}  // namespace brellis::platform::core_bluetooth
