#include "platform/security/anchor_store.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>

#include "platform/foundation/state_root.h"
#include "platform/security/x509_certificate.h"

namespace brellis::platform::security {
namespace {

constexpr size_t kMaxAnchorFileSize = 1 << 20;
constexpr size_t kMaxAnchorFiles = 256;

std::optional<foundation::Bytes> readSmallFile(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  auto size = std::filesystem::file_size(path, error);
  if (error || size > kMaxAnchorFileSize) return std::nullopt;
  std::ifstream stream(path, std::ios::binary);
  if (!stream) return std::nullopt;
  return foundation::Bytes(std::istreambuf_iterator<char>(stream), {});
}

void appendPem(const foundation::Bytes& bytes, std::vector<foundation::Bytes>& out) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())), &BIO_free);
  if (!bio) return;
  while (X509* x509 = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    unsigned char* der = nullptr;
    int length = i2d_X509(x509, &der);
    if (length > 0) out.emplace_back(der, der + length);
    OPENSSL_free(der);
    X509_free(x509);
  }
}

}  // namespace

std::filesystem::path anchorDirectory() {
  return foundation::statePath("security/anchors", "/etc/brellis/anchors");
}

std::vector<foundation::Bytes> loadAnchors() {
  std::vector<foundation::Bytes> anchors;
  std::error_code error;
  std::vector<std::filesystem::path> files;
  for (std::filesystem::directory_iterator it(anchorDirectory(), error), end;
       !error && it != end && files.size() < kMaxAnchorFiles; it.increment(error)) {
    files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& path : files) {
    std::string extension = path.extension().string();
    if (extension != ".pem" && extension != ".der") continue;
    std::optional<foundation::Bytes> bytes = readSmallFile(path);
    if (!bytes) continue;
    if (extension == ".pem") {
      appendPem(*bytes, anchors);
    } else if (X509Certificate::fromDer(*bytes)) {
      anchors.push_back(std::move(*bytes));
    }
  }
  return anchors;
}

}  // namespace brellis::platform::security
