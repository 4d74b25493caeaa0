#include "platform/crypto_token_kit/pkcs11/key_encoding.h"

#include <span>

namespace brellis::platform::crypto_token_kit::pkcs11 {

namespace {

using foundation::Bytes;

constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kBitString = 0x03;
constexpr uint8_t kUncompressedPoint = 0x04;

// Reads one DER element after another from a span; any malformed element stops the reader.
class DerReader {
 public:
  explicit DerReader(std::span<const uint8_t> bytes) : rest_(bytes) {}

  // The content of the next element when it has tag `tag`.
  std::optional<std::span<const uint8_t>> read(uint8_t tag) {
    if (rest_.size() < 2 || rest_[0] != tag) return std::nullopt;
    size_t length = rest_[1];
    size_t header = 2;
    if (length & 0x80) {
      const size_t count = length & 0x7F;
      if (count == 0 || count > 4 || rest_.size() < 2 + count || rest_[2] == 0) {
        return std::nullopt;
      }
      length = 0;
      for (size_t i = 0; i < count; ++i) length = (length << 8) | rest_[2 + i];
      if (length < 0x80) return std::nullopt;  // not the shortest form
      header += count;
    }
    if (rest_.size() - header < length) return std::nullopt;
    auto content = rest_.subspan(header, length);
    rest_ = rest_.subspan(header + length);
    return content;
  }
  bool atEnd() const { return rest_.empty(); }

 private:
  std::span<const uint8_t> rest_;
};

// A positive DER INTEGER's magnitude without its leading zero byte.
std::optional<std::span<const uint8_t>> unsignedMagnitude(std::span<const uint8_t> integer) {
  if (integer.empty() || (integer[0] & 0x80)) return std::nullopt;
  if (integer.size() > 1 && integer[0] == 0) {
    if ((integer[1] & 0x80) == 0) return std::nullopt;  // not minimal
    integer = integer.subspan(1);
  }
  return integer;
}

void appendLength(Bytes& out, size_t length) {
  if (length < 0x80) {
    out.push_back(static_cast<uint8_t>(length));
    return;
  }
  Bytes digits;
  for (size_t rest = length; rest > 0; rest >>= 8) digits.insert(digits.begin(), rest & 0xFF);
  out.push_back(static_cast<uint8_t>(0x80 | digits.size()));
  out.insert(out.end(), digits.begin(), digits.end());
}

bool isUncompressedPoint(std::span<const uint8_t> point, size_t fieldBytes) {
  return fieldBytes > 0 && point.size() == 2 * fieldBytes + 1 && point[0] == kUncompressedPoint;
}

}  // namespace

std::optional<Bytes> ecParametersForKeySize(int64_t bits) {
  switch (bits) {
    case 256:
      return Bytes{0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
    case 384:
      return Bytes{0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22};
    case 521:
      return Bytes{0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23};
    default:
      return std::nullopt;
  }
}

Bytes derOctetString(const Bytes& content) {
  Bytes out{kOctetString};
  appendLength(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

std::optional<Bytes> ecdsaSignatureToRaw(const Bytes& der, size_t fieldBytes) {
  if (fieldBytes == 0) return std::nullopt;
  DerReader outer(der);
  auto sequence = outer.read(kSequence);
  if (!sequence || !outer.atEnd()) return std::nullopt;
  DerReader inner(*sequence);
  Bytes raw(2 * fieldBytes, 0);
  for (size_t half = 0; half < 2; ++half) {
    auto integer = inner.read(kInteger);
    if (!integer) return std::nullopt;
    auto magnitude = unsignedMagnitude(*integer);
    if (!magnitude || magnitude->size() > fieldBytes) return std::nullopt;
    std::copy(
        magnitude->begin(), magnitude->end(),
        raw.begin() + static_cast<std::ptrdiff_t>((half + 1) * fieldBytes - magnitude->size()));
  }
  if (!inner.atEnd()) return std::nullopt;
  return raw;
}

std::optional<Bytes> ecPointFromPublicData(const Bytes& data, size_t fieldBytes) {
  // The raw point is tried first: its first byte (04) is also the tag of an OCTET STRING, and
  // only the length tells the two apart.
  if (isUncompressedPoint(data, fieldBytes)) return data;
  DerReader reader(data);
  if (auto octets = reader.read(kOctetString)) {
    if (reader.atEnd() && isUncompressedPoint(*octets, fieldBytes)) {
      return Bytes(octets->begin(), octets->end());
    }
    return std::nullopt;
  }
  // SubjectPublicKeyInfo: SEQUENCE { AlgorithmIdentifier, BIT STRING (00 ‖ point) }.
  DerReader outer(data);
  auto info = outer.read(kSequence);
  if (!info || !outer.atEnd()) return std::nullopt;
  DerReader inner(*info);
  if (!inner.read(kSequence)) return std::nullopt;
  auto bits = inner.read(kBitString);
  if (!bits || !inner.atEnd() || bits->empty() || (*bits)[0] != 0) return std::nullopt;
  auto point = bits->subspan(1);
  if (!isUncompressedPoint(point, fieldBytes)) return std::nullopt;
  return Bytes(point.begin(), point.end());
}

std::optional<RsaPublicParts> rsaPublicKeyParts(const Bytes& pkcs1) {
  DerReader outer(pkcs1);
  auto sequence = outer.read(kSequence);
  if (!sequence || !outer.atEnd()) return std::nullopt;
  DerReader inner(*sequence);
  auto modulus = inner.read(kInteger);
  auto exponent = modulus ? inner.read(kInteger) : std::nullopt;
  if (!exponent || !inner.atEnd()) return std::nullopt;
  auto n = unsignedMagnitude(*modulus);
  auto e = unsignedMagnitude(*exponent);
  if (!n || !e) return std::nullopt;
  return RsaPublicParts{Bytes(n->begin(), n->end()), Bytes(e->begin(), e->end())};
}

}  // namespace brellis::platform::crypto_token_kit::pkcs11
