#include "login_app/network_check.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>

namespace brellis::login_app {

namespace {

// The integer of a real, as an integer read truncates it; 0 when it has none.
int64_t truncated(double real) {
  if (!std::isfinite(real) || std::fabs(real) >= 9.2e18) return 0;
  return static_cast<int64_t>(real);
}

// The integer of a numeric text ("5", " -12", "2.7", "1e3"), as an integer read of a stored text
// gives it: leading white space and a plus sign are allowed, the rest must be the number whole.
// Anything else has no integer.
std::optional<int64_t> integerOfText(const std::string& text) {
  std::string_view rest(text);
  while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.front()))) {
    rest.remove_prefix(1);
  }
  if (rest.size() > 1 && rest.front() == '+' && rest[1] != '-') rest.remove_prefix(1);
  if (rest.empty()) return std::nullopt;
  const char* end = rest.data() + rest.size();
  int64_t integer = 0;
  if (auto [at, error] = std::from_chars(rest.data(), end, integer);
      error == std::errc() && at == end) {
    return integer;
  }
  // Only digits, a point and an exponent: no "inf", "nan" or hexadecimal forms.
  if (rest.find_first_not_of("0123456789.eE+-") != std::string_view::npos) return std::nullopt;
  double real = 0;
  if (auto [at, error] = std::from_chars(rest.data(), end, real, std::chars_format::general);
      error == std::errc() && at == end) {
    return truncated(real);
  }
  return std::nullopt;
}

}  // namespace

int64_t networkCheck(const platform::foundation::Defaults& defaults) {
  auto value = defaults.object(kNetworkCheckKey);
  if (!value) return 0;
  if (auto integer = value->int64()) return *integer;
  if (auto flag = value->boolean()) return *flag ? 1 : 0;
  if (auto real = value->real()) return truncated(*real);
  if (auto text = value->string()) return integerOfText(*text).value_or(0);
  return 0;
}

}  // namespace brellis::login_app
