#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error_record.h"
#include "platform/foundation/plist_value.h"
#include "platform/foundation/uuid.h"

namespace brellis::platform::foundation {

// NSKeyedArchiver's archive format: a binary property list
//   {"$archiver": "NSKeyedArchiver", "$version": 100000, "$top": {key: UID, ...},
//    "$objects": ["$null", ...]}
// in which every object is an entry of "$objects" and refers to others by UID. Strings, data and
// numbers are stored as plain property-list values; every other object is a dictionary of its
// keyed fields plus "$class", a UID of {"$classname": name, "$classes": [name, superclasses...]}.

// The root-object key (NSKeyedArchiveRootObjectKey).
inline constexpr const char* kKeyedArchiveRootObjectKey = "root";
// NSCoderReadCorruptError: the unarchiver's error for bytes that are no readable archive, for a
// class outside the allow-list and for any malformed or over-large object graph.
inline constexpr int64_t kCoderReadCorruptError = 4864;
// NSCoderInvalidValueError: the archiver's error for a value it cannot store.
inline constexpr int64_t kCoderInvalidValueError = 4866;

// Bounds applied to every archive read (archives come from other processes).
struct KeyedArchiveLimits {
  size_t maxInputBytes = 16 * 1024 * 1024;
  size_t maxObjects = 1 << 17;         // entries of "$objects"
  size_t maxDepth = 64;                // nesting of objects while decoding
  size_t maxDecodedObjects = 1 << 17;  // objects produced in all (a shared object counts each time)
};

// The errors that the archiver and the unarchiver raise (as ErrorException).
ErrorRecord keyedUnarchiverError(const std::string& reason);  // NSCocoaErrorDomain 4864
ErrorRecord keyedArchiverError(const std::string& reason);    // NSCocoaErrorDomain 4866

// "$classname" and "$classes" of an archived class.
struct KeyedClass {
  std::string name;
  std::vector<std::string> chain;  // name first, then its superclasses

  // {name, [name, "NSObject"]}: a class deriving directly from NSObject.
  static KeyedClass derivedFromNSObject(std::string name);
  bool operator==(const KeyedClass&) const = default;
};

class KeyedArchiver;

// An object that encodes itself with keyed fields (encodeWithCoder: of NSSecureCoding).
class KeyedEncodable {
 public:
  virtual ~KeyedEncodable() = default;
  virtual KeyedClass keyedClass() const = 0;
  // Writes the object's fields with the archiver's encode calls; they land in this object.
  virtual void encode(KeyedArchiver& archiver) const = 0;
};

// Builds one archive, always with secure coding required. The encode calls write into the object
// being encoded; outside any object they write into "$top". Not thread-safe; one use.
class KeyedArchiver {
 public:
  KeyedArchiver();

  // Inline values: stored in the object's own dictionary.
  void encodeInt64(int64_t value, std::string_view key);
  void encodeBool(bool value, std::string_view key);
  void encodeDouble(double value, std::string_view key);

  // Object references: the value becomes an entry of "$objects" and the key holds its UID.
  void encodeObject(const KeyedEncodable& object, std::string_view key);
  // A property-list tree as NSDictionary ("NS.keys"/"NS.objects"), NSArray ("NS.objects"),
  // NSString, NSData, NSNumber (integers, reals, booleans) and NSDate ("NS.time") objects.
  // A UID inside the tree cannot be stored: raises keyedArchiverError.
  void encodePropertyList(const PlistValue& tree, std::string_view key);
  void encodeString(std::string_view value, std::string_view key);  // NSString
  void encodeData(const Bytes& value, std::string_view key);        // NSData
  void encodeUuid(const Uuid& value, std::string_view key);         // NSUUID ("NS.uuidbytes")
  void encodeNull(std::string_view key);                            // nil: UID 0 ("$null")

  // Finishes the archive and returns its binary property list. Later encode calls throw
  // std::logic_error.
  Bytes encodedData();

 private:
  PlistUid append(PlistValue value);
  PlistUid classUid(const KeyedClass& cls);
  PlistUid encodeTree(const PlistValue& tree, size_t depth);
  PlistDict& current();
  void checkOpen() const;

  PlistArray objects_;
  PlistDict top_;
  std::vector<PlistDict> stack_;
  std::vector<std::pair<KeyedClass, PlistUid>> classes_;
  bool finished_ = false;
};

// Reads one archive with secure coding: every class object must be allowed by the call that
// decodes it. Raises ErrorException (keyedUnarchiverError) when the bytes are not a property list
// (binary or XML), not a keyed archive, or when an object is malformed, of a class that is not
// allowed, cyclic, nested too deeply, or out of the limits. Not thread-safe.
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
  void enter(uint64_t uid);
  void leave(uint64_t uid);

  KeyedArchiveLimits limits_;
  PlistArray objects_;
  PlistDict top_;
  std::vector<Frame> stack_;
  std::vector<bool> inProgress_;
  size_t decoded_ = 0;
};

// The archive that NSKeyedArchiver(requiringSecureCoding: true) makes with
// encodeEncodable(tree, forKey: "root"): the property-list tree stored as objects under the root
// key. Raises keyedArchiverError for a tree holding a UID.
Bytes archiveEncodable(const PlistValue& tree);

// decodeTopLevelDecodable(forKey: "root") of an unarchiver made with init(forReadingFrom:): the
// tree under the root key, absent when the archive holds no root object (or nil there). Raises
// the unarchiver's error (NSCocoaErrorDomain 4864) for bytes that are not a property list or not
// a keyed archive, and for a root of a class outside the property-list classes.
std::optional<PlistValue> unarchiveDecodable(const Bytes& archive,
                                             const KeyedArchiveLimits& limits = {});

}  // namespace brellis::platform::foundation
