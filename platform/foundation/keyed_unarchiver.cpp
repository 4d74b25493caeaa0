#include "platform/foundation/keyed_unarchiver.h"

#include <algorithm>
#include <array>
#include <utility>

#include "platform/foundation/keyed_archive_format.h"
#include "platform/foundation/plist_codec.h"

namespace brellis::platform::foundation {

using namespace keyed_archive;

namespace {

[[noreturn]] void corrupt(const std::string& reason) {
  throw DecodingError(DecodingError::Kind::dataCorrupted, {}, reason,
                      DecodingError::Format::keyedArchive);
}

bool isOneOf(const std::string& name, std::initializer_list<std::string_view> names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

std::string quoted(std::string_view key) { return "'" + std::string(key) + "'"; }

// XML archives carry UIDs as {"CF$UID": n}; turns them into UIDs. Bounded by the reader's depth.
void normalizeXmlUids(PlistValue& value) {
  if (PlistDict* dict = value.dict()) {
    if (dict->size() == 1) {
      const PlistValue* uid = dict->find(kXmlUidKey);
      if (uid != nullptr && uid->uint64()) {
        value = PlistValue(PlistUid{*uid->uint64()});
        return;
      }
    }
    PlistDict rebuilt;
    for (const auto& [key, child] : *dict) {
      PlistValue copy = child;
      normalizeXmlUids(copy);
      rebuilt.set(key, std::move(copy));
    }
    *dict = std::move(rebuilt);
  } else if (PlistArray* array = value.array()) {
    for (PlistValue& child : *array) normalizeXmlUids(child);
  }
}

}  // namespace

KeyedUnarchiver::KeyedUnarchiver(const Bytes& archive, const KeyedArchiveLimits& limits)
    : limits_(limits) {
  if (archive.size() > limits_.maxInputBytes) corrupt("archive larger than the limit");
  PlistValue root;
  try {
    PlistLimits plistLimits;
    plistLimits.maxInputBytes = limits_.maxInputBytes;
    root = readPlist(archive, plistLimits);
  } catch (const PlistError& error) {
    corrupt(std::string("incomprehensible archive: not a property list (") + error.what() + ")");
  }
  normalizeXmlUids(root);
  PlistDict* dict = root.dict();
  if (dict == nullptr) corrupt("incomprehensible archive: the root is not a dictionary");
  const PlistValue* archiver = dict->find(kArchiverKey);
  if (archiver == nullptr || archiver->string() == nullptr ||
      *archiver->string() != kArchiverName) {
    corrupt("incomprehensible archive: no \"$archiver\" NSKeyedArchiver");
  }
  const PlistValue* version = dict->find(kVersionKey);
  if (version == nullptr || version->int64() != kArchiveVersion) {
    corrupt("incomprehensible archive: unsupported \"$version\"");
  }
  PlistValue* top = dict->find(kTopKey);
  PlistValue* objects = dict->find(kObjectsKey);
  if (top == nullptr || top->dict() == nullptr) corrupt("incomprehensible archive: no \"$top\"");
  if (objects == nullptr || objects->array() == nullptr || objects->array()->empty()) {
    corrupt("incomprehensible archive: no \"$objects\"");
  }
  if (objects->array()->size() > limits_.maxObjects) corrupt("archive holds too many objects");
  top_ = std::move(*top->dict());
  objects_ = std::move(*objects->array());
  inProgress_.assign(objects_.size(), false);
}

const PlistDict& KeyedUnarchiver::current() const {
  return stack_.empty() ? top_ : *stack_.back().fields;
}

const PlistValue& KeyedUnarchiver::object(uint64_t uid) const { return objects_[uid]; }

std::optional<uint64_t> KeyedUnarchiver::referenceFor(std::string_view key) const {
  const PlistValue* value = current().find(key);
  if (value == nullptr) return std::nullopt;
  std::optional<PlistUid> uid = value->uid();
  if (!uid) corrupt("value for key " + quoted(key) + " is not an object reference");
  if (uid->value >= objects_.size()) corrupt("reference for key " + quoted(key) + " out of range");
  return uid->value;
}

std::optional<KeyedClass> KeyedUnarchiver::classOf(const PlistValue& value) const {
  const PlistDict* fields = value.dict();
  if (fields == nullptr) return std::nullopt;
  const PlistValue* reference = fields->find(kClassKey);
  if (reference == nullptr) corrupt("object without \"$class\"");
  std::optional<PlistUid> uid = reference->uid();
  if (!uid || uid->value == 0 || uid->value >= objects_.size()) corrupt("invalid \"$class\"");
  const PlistDict* entry = object(uid->value).dict();
  const PlistValue* name = entry ? entry->find(kClassNameKey) : nullptr;
  if (name == nullptr || name->string() == nullptr) corrupt("class entry without \"$classname\"");
  KeyedClass cls;
  cls.name = *name->string();
  if (const PlistValue* chain = entry->find(kClassesKey); chain && chain->array()) {
    for (const PlistValue& element : *chain->array()) {
      if (element.string() != nullptr) cls.chain.push_back(*element.string());
    }
  }
  return cls;
}

KeyedUnarchiver::ObjectScope::ObjectScope(KeyedUnarchiver& unarchiver, const PlistDict& fields,
                                          uint64_t uid)
    : unarchiver_(unarchiver), uid_(uid) {
  if (unarchiver.inProgress_[uid]) corrupt("cycle in the object graph");
  if (unarchiver.stack_.size() + 1 > unarchiver.limits_.maxDepth) {
    corrupt("object graph nested too deeply");
  }
  if (++unarchiver.decoded_ > unarchiver.limits_.maxDecodedObjects) {
    corrupt("archive expands to too many objects");
  }
  unarchiver.inProgress_[uid] = true;
  unarchiver.stack_.push_back(Frame{&fields, uid});
}

KeyedUnarchiver::ObjectScope::~ObjectScope() {
  unarchiver_.stack_.pop_back();
  unarchiver_.inProgress_[uid_] = false;
}

PlistValue KeyedUnarchiver::decodeTree(uint64_t uid) {
  if (uid == 0) corrupt("nil inside a property list");
  const PlistValue& value = object(uid);
  if (value.isString() || value.isData() || value.isInteger() || value.isBool() || value.isReal()) {
    if (++decoded_ > limits_.maxDecodedObjects) corrupt("archive expands to too many objects");
    return value;
  }
  std::optional<KeyedClass> cls = classOf(value);
  if (!cls) corrupt(std::string("unexpected ") + kindName(value) + " in \"$objects\"");
  const PlistDict& fields = *value.dict();

  ObjectScope scope(*this, fields, uid);

  auto references = [&](const char* key) -> const PlistArray& {
    const PlistValue* list = fields.find(key);
    if (list == nullptr || list->array() == nullptr) {
      corrupt(cls->name + " without " + quoted(key));
    }
    for (const PlistValue& element : *list->array()) {
      std::optional<PlistUid> ref = element.uid();
      if (!ref || ref->value >= objects_.size()) corrupt(cls->name + " with an invalid reference");
    }
    return *list->array();
  };

  if (isOneOf(cls->name, {kNSDictionary, kNSMutableDictionary})) {
    const PlistArray& keyRefs = references(kKeysKey);
    const PlistArray& valueRefs = references(kObjectsFieldKey);
    if (keyRefs.size() != valueRefs.size()) corrupt("dictionary keys and objects differ in count");
    PlistDict dict;
    for (size_t i = 0; i < keyRefs.size(); ++i) {
      PlistValue key = decodeTree(keyRefs[i].uid()->value);
      if (key.string() == nullptr) corrupt("dictionary key is not a string");
      dict.set(*key.string(), decodeTree(valueRefs[i].uid()->value));
    }
    return dict;
  }
  if (isOneOf(cls->name, {kNSArray, kNSMutableArray})) {
    PlistArray array;
    for (const PlistValue& ref : references(kObjectsFieldKey)) {
      array.push_back(decodeTree(ref.uid()->value));
    }
    return array;
  }
  if (isOneOf(cls->name, {kNSString, kNSMutableString})) {
    const PlistValue* text = fields.find(kStringKey);
    if (text == nullptr || text->string() == nullptr) corrupt("NSString without its text");
    return *text->string();
  }
  if (isOneOf(cls->name, {kNSData, kNSMutableData})) {
    const PlistValue* bytes = fields.find(kBytesKey);
    if (bytes == nullptr || bytes->data() == nullptr) corrupt("NSData without its bytes");
    return *bytes->data();
  }
  if (cls->name == kNSDate) {
    const PlistValue* time = fields.find(kTimeKey);
    std::optional<double> seconds = time ? time->real() : std::nullopt;
    if (!seconds && time && time->int64()) seconds = static_cast<double>(*time->int64());
    if (!seconds) corrupt("NSDate without its time");
    return PlistDate{*seconds};
  }
  corrupt("value of unexpected class '" + cls->name +
          "'; allowed: NSDictionary, NSArray, NSString, NSData, NSNumber, NSDate");
}

bool KeyedUnarchiver::containsValue(std::string_view key) const { return current().contains(key); }

std::optional<int64_t> KeyedUnarchiver::decodeInt64(std::string_view key) {
  const PlistValue* value = current().find(key);
  if (value == nullptr) return std::nullopt;
  if (std::optional<int64_t> number = value->int64()) return number;
  if (std::optional<bool> flag = value->boolean()) return *flag ? 1 : 0;
  corrupt("value for key " + quoted(key) + " is not a 64-bit integer");
}

std::optional<bool> KeyedUnarchiver::decodeBool(std::string_view key) {
  const PlistValue* value = current().find(key);
  if (value == nullptr) return std::nullopt;
  if (std::optional<bool> flag = value->boolean()) return flag;
  if (std::optional<int64_t> number = value->int64()) return *number != 0;
  corrupt("value for key " + quoted(key) + " is not a boolean");
}

std::optional<double> KeyedUnarchiver::decodeDouble(std::string_view key) {
  const PlistValue* value = current().find(key);
  if (value == nullptr) return std::nullopt;
  if (std::optional<double> number = value->real()) return number;
  if (std::optional<int64_t> number = value->int64()) return static_cast<double>(*number);
  corrupt("value for key " + quoted(key) + " is not a number");
}

std::optional<PlistValue> KeyedUnarchiver::decodePropertyList(std::string_view key) {
  std::optional<uint64_t> uid = referenceFor(key);
  if (!uid || *uid == 0) return std::nullopt;
  return decodeTree(*uid);
}

// The tree stored under `key`, which must be inline of kind `isKind` or an object of one of
// `classes` (named `className` in the error).
std::optional<PlistValue> KeyedUnarchiver::decodeTreeOfClass(
    std::string_view key, std::initializer_list<std::string_view> classes, const char* className,
    bool (*isKind)(const PlistValue&)) {
  std::optional<uint64_t> uid = referenceFor(key);
  if (!uid || *uid == 0) return std::nullopt;
  const PlistValue& value = object(*uid);
  if (!isKind(value)) {
    std::optional<KeyedClass> cls = classOf(value);
    if (!cls || !isOneOf(cls->name, classes)) {
      corrupt("value for key " + quoted(key) + " is not an " + className);
    }
  }
  return decodeTree(*uid);
}

std::optional<std::string> KeyedUnarchiver::decodeString(std::string_view key) {
  auto text = decodeTreeOfClass(key, {kNSString, kNSMutableString}, "NSString",
                                [](const PlistValue& v) { return v.isString(); });
  if (!text) return std::nullopt;
  return *text->string();
}

std::optional<Bytes> KeyedUnarchiver::decodeData(std::string_view key) {
  auto bytes = decodeTreeOfClass(key, {kNSData, kNSMutableData}, "NSData",
                                 [](const PlistValue& v) { return v.isData(); });
  if (!bytes) return std::nullopt;
  return *bytes->data();
}

std::optional<Uuid> KeyedUnarchiver::decodeUuid(std::string_view key) {
  std::optional<Uuid> result;
  decodeObject(key, {kNSUUID}, [&](KeyedUnarchiver& unarchiver, const std::string&) {
    const PlistValue* bytes = unarchiver.current().find(kUuidBytesKey);
    if (bytes == nullptr || bytes->data() == nullptr || bytes->data()->size() != 16) {
      corrupt("NSUUID without 16 bytes");
    }
    std::array<uint8_t, 16> raw{};
    std::copy(bytes->data()->begin(), bytes->data()->end(), raw.begin());
    result = Uuid(raw);
  });
  return result;
}

bool KeyedUnarchiver::decodeObject(
    std::string_view key, std::initializer_list<std::string_view> allowedClasses,
    const std::function<void(KeyedUnarchiver&, const std::string&)>& decode) {
  std::optional<uint64_t> uid = referenceFor(key);
  if (!uid || *uid == 0) return false;
  const PlistValue& value = object(*uid);
  std::optional<KeyedClass> cls = classOf(value);
  if (!cls) {
    corrupt("value for key " + quoted(key) + " of unexpected kind " + kindName(value));
  }
  if (!isOneOf(cls->name, allowedClasses)) {
    corrupt("value for key " + quoted(key) + " was of unexpected class '" + cls->name + "'");
  }
  ObjectScope scope(*this, *value.dict(), *uid);
  decode(*this, cls->name);
  return true;
}

std::optional<PlistValue> unarchiveDecodable(const Bytes& archive,
                                             const KeyedArchiveLimits& limits) {
  KeyedUnarchiver unarchiver(archive, limits);
  return unarchiver.decodePropertyList(kKeyedArchiveRootObjectKey);
}

}  // namespace brellis::platform::foundation
