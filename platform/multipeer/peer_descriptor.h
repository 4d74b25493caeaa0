#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::multipeer {

// What an advertiser publishes in the discovery directory: <token>.peer next to <token>.sock.
// The file is outside input for every browser: it is read with a size bound and validated.
struct PeerDescriptor {
  std::string displayName;
  std::string uniqueIdentity;
  int32_t pid = 0;    // the advertising process, so that browsers skip dead advertisers
  std::string token;  // names the socket file: <token>.sock in the same directory

  bool operator==(const PeerDescriptor&) const = default;
};

inline constexpr size_t kMaxDescriptorBytes = 4096;

foundation::Bytes encodePeerDescriptor(const PeerDescriptor& descriptor);
std::optional<PeerDescriptor> decodePeerDescriptor(const foundation::Bytes& bytes);

// A token is 1-32 characters of [0-9a-f]; anything else cannot name a file of ours.
bool isValidToken(const std::string& token);

// Writes the descriptor atomically (temporary file, then rename); false on failure.
bool writePeerDescriptor(const std::filesystem::path& directory, const PeerDescriptor& descriptor);
// Reads one descriptor file (regular files only, bounded); absent when unreadable or invalid.
std::optional<PeerDescriptor> readPeerDescriptor(const std::filesystem::path& file);

// Whether the process that published a descriptor still runs.
bool isProcessAlive(int32_t pid);

}  // namespace brellis::platform::multipeer
