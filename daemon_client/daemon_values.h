#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "daemon_client/wallpaper_configuration.h"
#include "platform/foundation/plist_value.h"
#include "platform/xpc/endpoint.h"
#include "platform/xpc/value.h"

namespace brellis::daemon_client {

using platform::foundation::Bytes;
using Endpoint = platform::xpc::Endpoint;
// A number exactly as the daemon sent it (an integer, unsigned integer, real or boolean value).
using Number = platform::xpc::Value;
// A received file descriptor; closed when the last copy goes.
using FileHandle = platform::xpc::SharedFd;
// A URL as its absolute string.
using Url = std::string;
using Date = std::chrono::system_clock::time_point;
using StringListsDictionary = std::map<std::string, std::vector<std::string>>;

struct EphemeralSecret {
  Bytes sharedSecret;
  Bytes publicKeyData;
};

struct TOTPPairingInformation {
  Bytes secret;
  std::string backupCode;
};

struct DesktopPicture {
  Number appearance;
  std::optional<FileHandle> fileHandle;
  std::optional<Url> imageURL;
};

struct DesktopAsset {
  std::string provider;
  WallpaperConfiguration configuration;
  std::optional<FileHandle> fileHandle;
  std::optional<Url> assetURL;
};

}  // namespace brellis::daemon_client
