#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brellis::platform::foundation {

// A 128-bit UUID. Written in upper case (8-4-4-4-12); read in either case.
class Uuid {
 public:
  Uuid() = default;
  explicit Uuid(const std::array<uint8_t, 16>& bytes) : bytes_(bytes) {}

  static Uuid random();
  static std::optional<Uuid> parse(std::string_view text);

  std::string string() const;
  const std::array<uint8_t, 16>& bytes() const { return bytes_; }
  bool operator==(const Uuid&) const = default;
  auto operator<=>(const Uuid&) const = default;

 private:
  std::array<uint8_t, 16> bytes_{};
};

}  // namespace brellis::platform::foundation
