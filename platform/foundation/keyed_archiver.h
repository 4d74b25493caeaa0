#pragma once

#include <cstddef>
#include <cstdint>
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
// NSCoderInvalidValueError: the archiver's error for a value it cannot store.
inline constexpr int64_t kCoderInvalidValueError = 4866;

// The error that the archiver raises (as ErrorException): NSCocoaErrorDomain 4866.
ErrorRecord keyedArchiverError(const std::string& reason);

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

// The archive that NSKeyedArchiver(requiringSecureCoding: true) makes with
// encodeEncodable(tree, forKey: "root"): the property-list tree stored as objects under the root
// key. Raises keyedArchiverError for a tree holding a UID.
Bytes archiveEncodable(const PlistValue& tree);

}  // namespace brellis::platform::foundation
