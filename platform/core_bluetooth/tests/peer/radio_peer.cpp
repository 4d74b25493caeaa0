// A second process on the simulated radio, for the cross-process tests.
//   radio_peer watch <radio dir> <payload hex> <timeout ms>
//       prints "appeared" when an advertisement with that payload is on air, then "disappeared"
//       when it is gone; exits 0 after both, 1 on timeout.
//   radio_peer set-state <radio dir> <value>
//   radio_peer advertise-and-exit <radio dir> <payload hex>
//       puts the payload on air and exits without taking it off.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/core_bluetooth/simulated_radio.h"

namespace cb = brellis::platform::core_bluetooth;

namespace {

std::string hex(const brellis::platform::foundation::Bytes& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string text;
  for (auto b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

bool onAir(const std::string& directory, const std::string& payload) {
  for (const auto& advert : cb::SimulatedRadio::advertisements(directory)) {
    if (hex(advert.payload) == payload) return true;
  }
  return false;
}

bool waitFor(const std::string& directory, const std::string& payload, bool present,
             std::chrono::steady_clock::time_point deadline) {
  while (std::chrono::steady_clock::now() < deadline) {
    if (onAir(directory, payload) == present) return true;
    // The simulated radio is files with no change notification: looking again is the only way
    // to see the advert come or go.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  std::string command = argv[1];
  std::string directory = argv[2];
  if (command == "watch" && argc == 5) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(atoi(argv[4]));
    if (!waitFor(directory, argv[3], true, deadline)) return 1;
    std::printf("appeared\n");
    std::fflush(stdout);
    if (!waitFor(directory, argv[3], false, deadline)) return 1;
    std::printf("disappeared\n");
    std::fflush(stdout);
    return 0;
  }
  if (command == "set-state") {
    return cb::SimulatedRadio::setState(directory, static_cast<cb::ManagerState>(atoll(argv[3])))
               ? 0
               : 1;
  }
  if (command == "advertise-and-exit") {
    std::string text = argv[3];
    brellis::platform::foundation::Bytes payload;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
      payload.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    cb::SimulatedRadio radio(directory);
    bool ok = false;
    radio.startAdvertising(std::to_string(::getpid()) + "-1", payload,
                           [&](auto error) { ok = !error; });
    std::printf("%s\n", ok ? "on-air" : "failed");
    std::fflush(stdout);
    _exit(ok ? 0 : 1);
  }
  return 2;
}
