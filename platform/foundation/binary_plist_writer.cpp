// The binary property-list writer: the encoding half of plist_codec.h.

#include <bit>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "platform/foundation/binary_plist_format.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/utf_text.h"

namespace brellis::platform::foundation {
namespace {

namespace bp = bplist;

constexpr const char* kInvalidUtf8Message =
    "binary property list: a string is not valid UTF-8 and cannot be written";
constexpr const char* kTooDeepMessage =
    "binary property list: the value is nested too deeply to be written";
// Deeper values would only be written to be refused by every reader; the cap also keeps the
// writer's recursion off the end of the stack.
constexpr size_t kMaxWriteDepth = 1024;

// One object of the file: either a value of the tree or a dictionary key (keys are strings that
// have no PlistValue of their own). Containers list the object indices they refer to.
struct Object {
  const PlistValue* value = nullptr;
  const std::string* key = nullptr;
  std::vector<uint64_t> refs;
};

class BinaryPlistWriter {
 public:
  Bytes write(const PlistValue& root) {
    flatten(root, 1);
    refSize_ = bp::byteWidthFor(objects_.size() - 1);
    out_.assign(bp::kMagic.begin(), bp::kMagic.end());
    std::vector<uint64_t> offsets;
    offsets.reserve(objects_.size());
    for (const Object& object : objects_) {
      offsets.push_back(out_.size());
      if (object.key != nullptr) {
        writeString(*object.key);
      } else {
        writeValue(*object.value, object.refs);
      }
    }
    const uint64_t tableOffset = out_.size();
    const size_t offsetSize = bp::byteWidthFor(offsets.back());
    for (uint64_t offset : offsets) appendBigEndian(offset, offsetSize);
    out_.insert(out_.end(), 6, 0);  // unused bytes and sort version
    out_.push_back(static_cast<uint8_t>(offsetSize));
    out_.push_back(static_cast<uint8_t>(refSize_));
    appendBigEndian(objects_.size(), 8);
    appendBigEndian(0, 8);  // the top object is always the first
    appendBigEndian(tableOffset, 8);
    return std::move(out_);
  }

 private:
  // Assigns object indices in pre-order. Equal strings (keys or values) share one object: a string
  // object has no identity, so sharing it is always safe. Nothing else is shared.
  uint64_t flatten(const PlistValue& value, size_t depth) {
    if (depth > kMaxWriteDepth) throw PlistError(kTooDeepMessage);
    if (const std::string* text = value.string()) return stringObject(text, &value);
    const uint64_t index = objects_.size();
    objects_.push_back(Object{&value, nullptr, {}});
    std::vector<uint64_t> refs;
    if (const PlistArray* array = value.array()) {
      refs.reserve(array->size());
      for (const PlistValue& element : *array) refs.push_back(flatten(element, depth + 1));
    } else if (const PlistDict* dict = value.dict()) {
      refs.reserve(dict->size() * 2);
      for (const auto& [key, element] : *dict) refs.push_back(stringObject(&key, nullptr));
      for (const auto& [key, element] : *dict) refs.push_back(flatten(element, depth + 1));
    }
    objects_[index].refs = std::move(refs);
    return index;
  }

  uint64_t stringObject(const std::string* text, const PlistValue* value) {
    auto [it, inserted] = strings_.try_emplace(std::string_view(*text), objects_.size());
    if (inserted) objects_.push_back(Object{value, value == nullptr ? text : nullptr, {}});
    return it->second;
  }

  void writeValue(const PlistValue& value, const std::vector<uint64_t>& refs) {
    std::visit(
        [&](const auto& v) {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, PlistDict>) {
            writeMarker(bp::kKindDict, v.size());
            for (uint64_t ref : refs) appendBigEndian(ref, refSize_);
          } else if constexpr (std::is_same_v<T, PlistArray>) {
            writeMarker(bp::kKindArray, v.size());
            for (uint64_t ref : refs) appendBigEndian(ref, refSize_);
          } else if constexpr (std::is_same_v<T, std::string>) {
            writeString(v);
          } else if constexpr (std::is_same_v<T, Bytes>) {
            writeMarker(bp::kKindData, v.size());
            out_.insert(out_.end(), v.begin(), v.end());
          } else if constexpr (std::is_same_v<T, int64_t>) {
            writeInteger(v);
          } else if constexpr (std::is_same_v<T, PlistBigUnsigned>) {
            writeBigUnsigned(v.value);
          } else if constexpr (std::is_same_v<T, bool>) {
            out_.push_back(v ? bp::kTrue : bp::kFalse);
          } else if constexpr (std::is_same_v<T, double>) {
            out_.push_back(bp::kDoubleMarker);
            appendBigEndian(std::bit_cast<uint64_t>(v), 8);
          } else if constexpr (std::is_same_v<T, PlistDate>) {
            out_.push_back(bp::kDateMarker);
            appendBigEndian(std::bit_cast<uint64_t>(v.secondsSince2001), 8);
          } else if constexpr (std::is_same_v<T, PlistUid>) {
            const size_t width = bp::byteWidthFor(v.value);
            out_.push_back(static_cast<uint8_t>((bp::kKindUid << 4) | (width - 1)));
            appendBigEndian(v.value, width);
          }
        },
        value.storage());
  }

  // ASCII text as single bytes; anything else as UTF-16BE code units (surrogate pairs for the
  // astral planes), the only two string encodings every reader of the format accepts.
  void writeString(const std::string& text) {
    if (isAsciiText(text)) {
      writeMarker(bp::kKindAsciiString, text.size());
      out_.insert(out_.end(), text.begin(), text.end());
      return;
    }
    std::optional<std::u16string> units = utf8ToUtf16(text);
    if (!units) throw PlistError(kInvalidUtf8Message);
    writeMarker(bp::kKindUtf16String, units->size());
    for (char16_t unit : *units) appendBigEndian(unit, 2);
  }

  // Non-negative values below 2^32 take 1, 2 or 4 unsigned bytes; every other int64 (negative
  // ones and those from 2^32 up) takes 8 bytes, which readers treat as signed.
  void writeInteger(int64_t v) {
    const size_t width = v >= 0 ? bp::byteWidthFor(static_cast<uint64_t>(v)) : 8;
    out_.push_back(static_cast<uint8_t>((bp::kKindInteger << 4) | std::countr_zero(width)));
    appendBigEndian(static_cast<uint64_t>(v), width);
  }

  // Unsigned values above INT64_MAX: 16 bytes, the high 8 zero, so no reader takes them for
  // negative numbers. Smaller ones are ordinary integers.
  void writeBigUnsigned(uint64_t v) {
    if (v <= static_cast<uint64_t>(INT64_MAX)) {
      writeInteger(static_cast<int64_t>(v));
      return;
    }
    out_.push_back(bp::kBigIntegerMarker);
    appendBigEndian(0, 8);
    appendBigEndian(v, 8);
  }

  void writeMarker(uint8_t kind, uint64_t count) {
    if (count < bp::kCountFollows) {
      out_.push_back(static_cast<uint8_t>((kind << 4) | count));
      return;
    }
    out_.push_back(static_cast<uint8_t>((kind << 4) | bp::kCountFollows));
    writeInteger(static_cast<int64_t>(count));
  }

  void appendBigEndian(uint64_t value, size_t width) {
    for (size_t i = width; i-- > 0;) out_.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }

  std::vector<Object> objects_;
  std::unordered_map<std::string_view, uint64_t> strings_;
  size_t refSize_ = 1;
  Bytes out_;
};

}  // namespace

Bytes writeBinaryPlist(const PlistValue& value) { return BinaryPlistWriter().write(value); }

}  // namespace brellis::platform::foundation
