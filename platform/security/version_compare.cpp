#include "platform/security/version_compare.h"

#include <algorithm>

namespace brellis::platform::security {
namespace {

bool isNumber(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Numbers of any length compare without overflow: strip leading zeros, then longer is larger.
int compareNumbers(std::string_view a, std::string_view b) {
  a.remove_prefix(std::min(a.find_first_not_of('0'), a.size()));
  b.remove_prefix(std::min(b.find_first_not_of('0'), b.size()));
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

std::string_view component(std::string_view text, size_t& position) {
  if (position > text.size()) return "0";
  size_t end = std::min(text.find('.', position), text.size());
  std::string_view piece = text.substr(position, end - position);
  position = end + 1;
  return piece;
}

}  // namespace

int compareVersions(std::string_view a, std::string_view b) {
  size_t positionA = 0;
  size_t positionB = 0;
  while (positionA <= a.size() || positionB <= b.size()) {
    std::string_view pieceA = component(a, positionA);
    std::string_view pieceB = component(b, positionB);
    int order;
    if (isNumber(pieceA) && isNumber(pieceB)) {
      order = compareNumbers(pieceA, pieceB);
    } else {
      int raw = pieceA.compare(pieceB);
      order = raw < 0 ? -1 : (raw > 0 ? 1 : 0);
    }
    if (order != 0) return order;
  }
  return 0;
}

}  // namespace brellis::platform::security
