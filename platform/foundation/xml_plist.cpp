// XML property lists over libplist, converted to and from PlistValue.
//
// Integers: libplist 2.2 keeps every integer as a 64-bit pattern plus a width (8 or 16 bytes). A
// pattern with the top bit set is a negative int64 when the XML text was signed ("-1") and a
// PlistBigUnsigned when the text was a positive number above INT64_MAX (libplist marks those 16
// bytes wide, which is what its own writer uses to print them unsigned). The reader asks libplist
// to print such a node and looks at the sign, so both cases come back as written.
//
// UIDs: libplist writes them as a dictionary {"CF$UID": n}; the reader turns such a dictionary
// (one entry, an unsigned integer) back into a UID, as Apple's XML reader does.
//
// Dates: libplist's XML carries whole seconds; a fraction of a second is dropped when writing.

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/foundation/plist_codec.h"
#include "platform/foundation/utf_text.h"

namespace brellis::platform::foundation {
namespace {

// The conversion recurses; this bounds it whatever PlistLimits::maxDepth asks.
constexpr size_t kMaxXmlDepth = 512;

constexpr const char* kPrefix = "XML property list: ";
constexpr const char* kTooLarge = "input larger than the limit";
constexpr const char* kTooDeep = "nesting deeper than the limit";
constexpr const char* kMalformed = "malformed document";
constexpr const char* kTooManyValues = "more values than the limit";
constexpr const char* kBadText = "a string is not valid UTF-8";
constexpr const char* kUnwritableText = "a string holds NUL or is not valid UTF-8";
constexpr const char* kUnwritableDate = "a date is out of the writable range";
constexpr const char* kUnsupported = "unsupported element";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr const char* kWriteFailed = "libplist produced no output";
// A positive integer above INT64_MAX parsed by libplist becomes a 16-byte-wide node, printed
// unsigned; libplist has no other way to make one (setting a value resets the width).
constexpr const char* kBigUnsignedDocument = "<plist version=\"1.0\"><integer>%s</integer></plist>";
// A one-entry dictionary with this key holding an integer is a UID in XML.
constexpr const char* kUidKey = "CF$UID";

[[noreturn]] void fail(const char* what) { throw PlistError(std::string(kPrefix) + what); }

struct NodeDeleter {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

std::string nodeXml(plist_t node) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(node, &xml, &length);
  if (xml == nullptr) fail(kWriteFailed);
  std::string text(xml, length);
  plist_to_xml_free(xml);
  return text;
}

// ---- writing ----

const char* writableText(const std::string& text) {
  if (text.find('\0') != std::string::npos || !isValidUtf8(text)) fail(kUnwritableText);
  return text.c_str();
}

Node newBigUnsigned(uint64_t value) {
  char document[96];
  const int length =
      std::snprintf(document, sizeof document, kBigUnsignedDocument, std::to_string(value).c_str());
  plist_t parsed = nullptr;
  plist_from_xml(document, static_cast<uint32_t>(length), &parsed);
  if (parsed == nullptr || plist_get_node_type(parsed) != PLIST_UINT) fail(kWriteFailed);
  return Node(parsed);
}

Node toNode(const PlistValue& value, size_t depth) {
  if (depth > kMaxXmlDepth) fail(kTooDeep);
  return std::visit(
      [&](const auto& v) -> Node {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, PlistDict>) {
          Node dict(plist_new_dict());
          for (const auto& [key, element] : v) {
            const char* k = writableText(key);
            plist_dict_set_item(dict.get(), k, toNode(element, depth + 1).release());
          }
          return dict;
        } else if constexpr (std::is_same_v<T, PlistArray>) {
          Node array(plist_new_array());
          for (const PlistValue& element : v) {
            plist_array_append_item(array.get(), toNode(element, depth + 1).release());
          }
          return array;
        } else if constexpr (std::is_same_v<T, std::string>) {
          return Node(plist_new_string(writableText(v)));
        } else if constexpr (std::is_same_v<T, Bytes>) {
          return Node(plist_new_data(reinterpret_cast<const char*>(v.data()), v.size()));
        } else if constexpr (std::is_same_v<T, int64_t>) {
          return Node(plist_new_uint(static_cast<uint64_t>(v)));  // printed signed by libplist
        } else if constexpr (std::is_same_v<T, PlistBigUnsigned>) {
          if (v.value <= static_cast<uint64_t>(INT64_MAX)) return Node(plist_new_uint(v.value));
          return newBigUnsigned(v.value);
        } else if constexpr (std::is_same_v<T, bool>) {
          return Node(plist_new_bool(v ? 1 : 0));
        } else if constexpr (std::is_same_v<T, double>) {
          return Node(plist_new_real(v));
        } else if constexpr (std::is_same_v<T, PlistDate>) {
          const double seconds = std::floor(v.secondsSince2001);
          if (!std::isfinite(seconds) || seconds < INT32_MIN || seconds > INT32_MAX) {
            fail(kUnwritableDate);
          }
          const auto usec = static_cast<int32_t>((v.secondsSince2001 - seconds) * 1e6);
          return Node(plist_new_date(static_cast<int32_t>(seconds), usec));
        } else {
          static_assert(std::is_same_v<T, PlistUid>);
          return Node(plist_new_uid(v.value));
        }
      },
      value.storage());
}

// ---- reading ----

// The nesting depth of <array> and <dict> elements, comments and CDATA sections skipped. libplist
// parses recursively, so a depth bomb is refused before it reaches libplist.
size_t elementDepth(std::string_view xml, size_t limit) {
  size_t depth = 0;
  size_t deepest = 0;
  size_t pos = 0;
  const auto startsWith = [&](size_t at, std::string_view s) {
    return xml.compare(at, s.size(), s) == 0;
  };
  const auto nameEnds = [&](size_t at) {
    return at >= xml.size() || xml[at] == '>' || xml[at] == '/' || xml[at] == ' ' ||
           xml[at] == '\t' || xml[at] == '\r' || xml[at] == '\n';
  };
  while ((pos = xml.find('<', pos)) != std::string_view::npos) {
    if (startsWith(pos, "<!--")) {
      pos = xml.find("-->", pos + 4);
      if (pos == std::string_view::npos) break;
      continue;
    }
    if (startsWith(pos, "<![CDATA[")) {
      pos = xml.find("]]>", pos + 9);
      if (pos == std::string_view::npos) break;
      continue;
    }
    const bool closing = pos + 1 < xml.size() && xml[pos + 1] == '/';
    const size_t name = pos + (closing ? 2 : 1);
    size_t nameLength = 0;
    if (startsWith(name, "array") && nameEnds(name + 5)) nameLength = 5;
    if (startsWith(name, "dict") && nameEnds(name + 4)) nameLength = 4;
    pos = name;
    if (nameLength == 0) continue;
    const size_t end = xml.find('>', name);
    const bool selfClosing = end != std::string_view::npos && xml[end - 1] == '/';
    if (closing) {
      if (depth > 0) --depth;
    } else if (!selfClosing) {
      deepest = std::max(deepest, ++depth);
      if (deepest > limit) return deepest;
    }
  }
  return deepest;
}

class XmlConverter {
 public:
  explicit XmlConverter(const PlistLimits& limits)
      : limits_(limits), maxDepth_(std::min(limits.maxDepth, kMaxXmlDepth)) {}

  PlistValue convert(plist_t node, size_t depth) {
    if (++values_ > limits_.maxObjects) fail(kTooManyValues);
    switch (plist_get_node_type(node)) {
      case PLIST_BOOLEAN: {
        uint8_t v = 0;
        plist_get_bool_val(node, &v);
        return PlistValue(v != 0);
      }
      case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        if (v > static_cast<uint64_t>(INT64_MAX) &&
            nodeXml(node).find("<integer>-") == std::string::npos) {
          return PlistValue(PlistBigUnsigned{v});
        }
        return PlistValue(static_cast<int64_t>(v));
      }
      case PLIST_REAL: {
        double v = 0;
        plist_get_real_val(node, &v);
        return PlistValue(v);
      }
      case PLIST_STRING:
      case PLIST_KEY: {
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return PlistValue(checkedText(text, text == nullptr ? 0 : length));
      }
      case PLIST_DATA: {
        uint64_t length = 0;
        const char* data = plist_get_data_ptr(node, &length);
        const auto* begin = reinterpret_cast<const uint8_t*>(data);
        return PlistValue(data == nullptr ? Bytes() : Bytes(begin, begin + length));
      }
      case PLIST_DATE: {
        int32_t sec = 0;
        int32_t usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return PlistValue(PlistDate{static_cast<double>(sec) + usec / 1e6});
      }
      case PLIST_UID: {
        uint64_t v = 0;
        plist_get_uid_val(node, &v);
        return PlistValue(PlistUid{v});
      }
      case PLIST_ARRAY: {
        if (depth > maxDepth_) fail(kTooDeep);
        PlistArray array;
        const uint32_t count = plist_array_get_size(node);
        for (uint32_t i = 0; i < count; ++i) {
          array.push_back(convert(plist_array_get_item(node, i), depth + 1));
        }
        return PlistValue(std::move(array));
      }
      case PLIST_DICT: {
        if (depth > maxDepth_) fail(kTooDeep);
        PlistDict dict = convertDict(node, depth);
        if (dict.size() == 1) {
          const PlistValue* uid = dict.find(kUidKey);
          if (uid != nullptr && uid->uint64()) return PlistValue(PlistUid{*uid->uint64()});
        }
        return PlistValue(std::move(dict));
      }
      default:
        fail(kUnsupported);
    }
  }

 private:
  static std::string checkedText(const char* text, uint64_t length) {
    std::string value(text == nullptr ? "" : text, text == nullptr ? 0 : length);
    if (!isValidUtf8(value)) fail(kBadText);
    return value;
  }

  PlistDict convertDict(plist_t node, size_t depth) {
    PlistDict dict;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(node, &iter);
    if (iter == nullptr) return dict;
    std::unique_ptr<void, decltype(&std::free)> iterOwner(iter, &std::free);
    for (;;) {
      char* rawKey = nullptr;
      plist_t item = nullptr;
      plist_dict_next_item(node, iter, &rawKey, &item);
      std::unique_ptr<char, decltype(&std::free)> key(rawKey, &std::free);
      if (item == nullptr) break;
      std::string keyText = checkedText(key.get(), key ? std::strlen(key.get()) : 0);
      dict.set(std::move(keyText), convert(item, depth + 1));
    }
    return dict;
  }

  PlistLimits limits_;
  size_t maxDepth_;
  size_t values_ = 0;
};

}  // namespace

std::string writeXmlPlist(const PlistValue& value) {
  Node root = toNode(value, 1);
  return nodeXml(root.get());
}

PlistValue readXmlPlist(const Bytes& bytes, const PlistLimits& limits) {
  if (bytes.size() > limits.maxInputBytes || bytes.size() > UINT32_MAX) fail(kTooLarge);
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  // libplist wants the document to start at its first '<'.
  if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) text.remove_prefix(kUtf8Bom.size());
  text.remove_prefix(std::min(text.find_first_not_of(" \t\r\n"), text.size()));
  const size_t maxDepth = std::min(limits.maxDepth, kMaxXmlDepth);
  if (elementDepth(text, maxDepth) > maxDepth) fail(kTooDeep);
  plist_t parsed = nullptr;
  plist_from_xml(text.data(), static_cast<uint32_t>(text.size()), &parsed);
  if (parsed == nullptr) fail(kMalformed);
  Node root(parsed);
  return XmlConverter(limits).convert(root.get(), 1);
}

}  // namespace brellis::platform::foundation
