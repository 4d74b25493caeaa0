#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/core_bluetooth/simulated_radio.h"
#include "testing/support/temporary_state_root.h"
#include "testing/support/wait_until.h"

namespace brellis::platform::core_bluetooth::testing {

// A fresh state root per test, with the radio folder path below it (not created).
class RadioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stateRoot_.emplace();
    root_ = stateRoot_->path();
    radioDir_ = SimulatedRadio::defaultDirectory();
  }
  void TearDown() override { stateRoot_.reset(); }

  std::shared_ptr<SimulatedRadio> fastRadio() {
    return std::make_shared<SimulatedRadio>(radioDir_, std::chrono::milliseconds(2));
  }

  // Runs the handlers of `context` on this thread until `done` holds or the timeout ends.
  static bool pumpUntil(asio::io_context& context, const std::function<bool()>& done,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return brellis::testing::waitUntil(
        [&] {
          context.restart();
          context.poll();
          return done();
        },
        timeout);
  }

  std::optional<brellis::testing::TemporaryStateRoot> stateRoot_;
  std::filesystem::path root_;
  std::filesystem::path radioDir_;
};

inline foundation::Bytes samplePayload(uint8_t seed = 1) {
  foundation::Bytes bytes(kBeaconPayloadSize);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(seed + i);
  return bytes;
}

inline foundation::PlistDict beaconAdvertisement(foundation::Bytes payload) {
  foundation::PlistDict dict;
  dict.set(kAdvertisementDataAppleBeaconKey, std::move(payload));
  return dict;
}

inline std::string hex(const foundation::Bytes& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string text;
  for (auto b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

// Runs a command and reads its output line by line.
class PeerProcess {
 public:
  explicit PeerProcess(const std::string& command) : pipe_(popen(command.c_str(), "r")) {}
  ~PeerProcess() {
    if (pipe_) pclose(pipe_);
  }
  std::string readLine() {
    char buffer[256];
    if (!pipe_ || !fgets(buffer, sizeof buffer, pipe_)) return {};
    std::string line(buffer);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
  }
  int wait() {
    int status = pclose(pipe_);
    pipe_ = nullptr;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  FILE* pipe_;
};

}  // namespace brellis::platform::core_bluetooth::testing
