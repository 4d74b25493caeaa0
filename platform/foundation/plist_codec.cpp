// Format selection for property lists; the binary codec lives in binary_plist_writer.cpp and
// binary_plist_reader.cpp, the XML one in xml_plist.cpp.

#include "platform/foundation/plist_codec.h"

#include <cstring>

#include "platform/foundation/binary_plist_format.h"

namespace brellis::platform::foundation {
namespace {

constexpr const char* kUnknownFormat = "property list: neither a binary nor an XML property list";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// XML documents start with '<' after an optional byte-order mark and white space.
bool looksLikeXml(const Bytes& bytes) {
  size_t pos = 0;
  if (bytes.size() >= kUtf8Bom.size() &&
      std::memcmp(bytes.data(), kUtf8Bom.data(), kUtf8Bom.size()) == 0) {
    pos = kUtf8Bom.size();
  }
  while (pos < bytes.size() &&
         (bytes[pos] == ' ' || bytes[pos] == '\t' || bytes[pos] == '\r' || bytes[pos] == '\n')) {
    ++pos;
  }
  return pos < bytes.size() && bytes[pos] == '<';
}

}  // namespace

bool looksLikeBinaryPlist(const Bytes& bytes) {
  return bytes.size() >= bplist::kHeaderSize &&
         std::memcmp(bytes.data(), bplist::kMagic.data(), bplist::kHeaderSize) == 0;
}

PlistValue readPlist(const Bytes& bytes, const PlistLimits& limits) {
  if (looksLikeBinaryPlist(bytes)) return readBinaryPlist(bytes, limits);
  if (looksLikeXml(bytes)) return readXmlPlist(bytes, limits);
  throw PlistError(kUnknownFormat);
}

}  // namespace brellis::platform::foundation
