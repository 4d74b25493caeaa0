#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/decoding_error.h"
#include "platform/foundation/keyed_archiver.h"
#include "platform/foundation/plist_value.h"
#include "platform/foundation/uuid.h"

namespace brellis::platform::foundation {

// Bounds applied to every archive read (archives come from other processes).
struct KeyedArchiveLimits {
  size_t maxInputBytes = 16 * 1024 * 1024;
  size_t maxObjects = 1 << 17;         // entries of "$objects"
  size_t maxDepth = 64;                // nesting of objects while decoding
  size_t maxDecodedObjects = 1 << 17;  // objects produced in all (a shared object counts each time)
};

// Reads one archive (keyed_archiver.h) with secure coding: every class object must be allowed by
// the call that decodes it. Raises DecodingError (dataCorrupted, bridging as the unarchiver's
// NSCocoaErrorDomain 4864) when the bytes are not a property list (binary or XML), not a keyed
// archive, or when an object is malformed, of a class that is not allowed, cyclic, nested too
// deeply, or out of the limits. Not thread-safe.
class KeyedUnarchiver {
 public:
  explicit KeyedUnarchiver(const Bytes& archive, const KeyedArchiveLimits& limits = {});

  // Inspect the object being decoded (outside any object: "$top").
  bool containsValue(std::string_view key) const;
  // Inline values. Absent when the key is missing; raises when it holds another kind.
  std::optional<int64_t> decodeInt64(std::string_view key);
  std::optional<bool> decodeBool(std::string_view key);
  std::optional<double> decodeDouble(std::string_view key);

  // Object references. Absent when the key is missing or refers to nil ("$null"); raises when
  // the referenced object is not of the expected (allowed) class or malformed.
  // The property-list classes: NSDictionary, NSArray, NSString, NSData, NSNumber, NSDate (and
  // their mutable subclasses); dictionaries must have string keys.
  std::optional<PlistValue> decodePropertyList(std::string_view key);
  std::optional<std::string> decodeString(std::string_view key);
  std::optional<Bytes> decodeData(std::string_view key);
  std::optional<Uuid> decodeUuid(std::string_view key);

  // A custom class object: its "$classname" must be one of `allowedClasses`. `decode` runs with
  // this unarchiver positioned inside that object (its decode calls read the object's fields)
  // and receives the archived class name. Returns false when the key is missing or nil.
  bool decodeObject(std::string_view key, std::initializer_list<std::string_view> allowedClasses,
                    const std::function<void(KeyedUnarchiver&, const std::string&)>& decode);

  template <class T>
  std::optional<T> decodeObject(
      std::string_view key, std::initializer_list<std::string_view> allowedClasses,
      const std::function<T(KeyedUnarchiver&, const std::string&)>& decode) {
    std::optional<T> result;
    decodeObject(key, allowedClasses,
                 [&](KeyedUnarchiver& u, const std::string& cls) { result = decode(u, cls); });
    return result;
  }

 private:
  struct Frame {
    const PlistDict* fields;
    uint64_t uid;
  };
  const PlistDict& current() const;
  std::optional<uint64_t> referenceFor(std::string_view key) const;
  const PlistValue& object(uint64_t uid) const;
  std::optional<KeyedClass> classOf(const PlistValue& object) const;
  PlistValue decodeTree(uint64_t uid);
  std::optional<PlistValue> decodeTreeOfClass(std::string_view key,
                                              std::initializer_list<std::string_view> classes,
                                              const char* className,
                                              bool (*isKind)(const PlistValue&));

  // While it lives, object `uid` is the one being decoded: its fields are current, it counts
  // toward the depth bound, and a reference back to it is a cycle.
  class ObjectScope {
   public:
    ObjectScope(KeyedUnarchiver& unarchiver, const PlistDict& fields, uint64_t uid);
    ~ObjectScope();
    ObjectScope(const ObjectScope&) = delete;
    ObjectScope& operator=(const ObjectScope&) = delete;

   private:
    KeyedUnarchiver& unarchiver_;
    uint64_t uid_;
  };

  KeyedArchiveLimits limits_;
  PlistArray objects_;
  PlistDict top_;
  std::vector<Frame> stack_;
  std::vector<bool> inProgress_;
  size_t decoded_ = 0;
};

// decodeTopLevelDecodable(forKey: "root") of an unarchiver made with init(forReadingFrom:): the
// tree under the root key, absent when the archive holds no root object (or nil there). Raises
// the unarchiver's DecodingError for bytes that are not a property list or not a keyed archive,
// and for a root of a class outside the property-list classes.
std::optional<PlistValue> unarchiveDecodable(const Bytes& archive,
                                             const KeyedArchiveLimits& limits = {});

}  // namespace brellis::platform::foundation
