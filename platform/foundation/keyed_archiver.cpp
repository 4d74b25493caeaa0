#include "platform/foundation/keyed_archiver.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "platform/foundation/plist_codec.h"

namespace brellis::platform::foundation {

namespace {

constexpr const char* kArchiverKey = "$archiver";
constexpr const char* kVersionKey = "$version";
constexpr const char* kTopKey = "$top";
constexpr const char* kObjectsKey = "$objects";
constexpr const char* kClassKey = "$class";
constexpr const char* kClassNameKey = "$classname";
constexpr const char* kClassesKey = "$classes";
constexpr const char* kNull = "$null";
constexpr const char* kArchiverName = "NSKeyedArchiver";
constexpr int64_t kArchiveVersion = 100000;
// How XML property lists spell a UID.
constexpr const char* kXmlUidKey = "CF$UID";

constexpr const char* kNSObject = "NSObject";
constexpr const char* kNSDictionary = "NSDictionary";
constexpr const char* kNSMutableDictionary = "NSMutableDictionary";
constexpr const char* kNSArray = "NSArray";
constexpr const char* kNSMutableArray = "NSMutableArray";
constexpr const char* kNSString = "NSString";
constexpr const char* kNSMutableString = "NSMutableString";
constexpr const char* kNSData = "NSData";
constexpr const char* kNSMutableData = "NSMutableData";
constexpr const char* kNSDate = "NSDate";
constexpr const char* kNSUUID = "NSUUID";
constexpr const char* kKeysKey = "NS.keys";
constexpr const char* kObjectsFieldKey = "NS.objects";
constexpr const char* kStringKey = "NS.string";
constexpr const char* kBytesKey = "NS.bytes";
constexpr const char* kTimeKey = "NS.time";
constexpr const char* kUuidBytesKey = "NS.uuidbytes";

constexpr const char* kReadFormatMessage =
    "The data couldn\u2019t be read because it isn\u2019t in the correct format.";
constexpr const char* kWriteFormatMessage =
    "The data couldn\u2019t be written because it isn\u2019t in the correct format.";

// Bounds the archiver's own recursion over a caller's tree.
constexpr size_t kMaxEncodeDepth = 512;

ErrorRecord coderError(int64_t code, const char* description, const std::string& reason) {
  ErrorRecord record;
  record.domain = kCocoaErrorDomain;
  record.code = code;
  record.userInfo.set(kDebugDescriptionKey, reason);
  record.userInfo.set(kLocalizedDescriptionKey, description);
  return record;
}

[[noreturn]] void corrupt(const std::string& reason) {
  throw ErrorException(keyedUnarchiverError(reason));
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

ErrorRecord keyedUnarchiverError(const std::string& reason) {
  return coderError(kCoderReadCorruptError, kReadFormatMessage, reason);
}

ErrorRecord keyedArchiverError(const std::string& reason) {
  return coderError(kCoderInvalidValueError, kWriteFormatMessage, reason);
}

KeyedClass KeyedClass::derivedFromNSObject(std::string name) {
  KeyedClass cls;
  cls.chain = {name, kNSObject};
  cls.name = std::move(name);
  return cls;
}

// ---- KeyedArchiver ----

KeyedArchiver::KeyedArchiver() { objects_.emplace_back(kNull); }

void KeyedArchiver::checkOpen() const {
  if (finished_) throw std::logic_error("KeyedArchiver used after encodedData()");
}

PlistDict& KeyedArchiver::current() { return stack_.empty() ? top_ : stack_.back(); }

PlistUid KeyedArchiver::append(PlistValue value) {
  objects_.push_back(std::move(value));
  return PlistUid{objects_.size() - 1};
}

PlistUid KeyedArchiver::classUid(const KeyedClass& cls) {
  for (const auto& [known, uid] : classes_) {
    if (known == cls) return uid;
  }
  PlistDict entry;
  entry.set(kClassNameKey, cls.name);
  PlistArray chain;
  for (const auto& name : cls.chain) chain.emplace_back(name);
  entry.set(kClassesKey, std::move(chain));
  PlistUid uid = append(std::move(entry));
  classes_.emplace_back(cls, uid);
  return uid;
}

void KeyedArchiver::encodeInt64(int64_t value, std::string_view key) {
  checkOpen();
  current().set(std::string(key), value);
}

void KeyedArchiver::encodeBool(bool value, std::string_view key) {
  checkOpen();
  current().set(std::string(key), value);
}

void KeyedArchiver::encodeDouble(double value, std::string_view key) {
  checkOpen();
  current().set(std::string(key), value);
}

void KeyedArchiver::encodeObject(const KeyedEncodable& object, std::string_view key) {
  checkOpen();
  if (stack_.size() >= kMaxEncodeDepth) {
    throw ErrorException(keyedArchiverError("object graph nested too deeply"));
  }
  // The object's slot comes before its children, its class entry after them.
  PlistUid slot = append(PlistValue());
  stack_.emplace_back();
  object.encode(*this);
  PlistDict fields = std::move(stack_.back());
  stack_.pop_back();
  fields.set(kClassKey, classUid(object.keyedClass()));
  objects_[slot.value] = std::move(fields);
  current().set(std::string(key), slot);
}

PlistUid KeyedArchiver::encodeTree(const PlistValue& tree, size_t depth) {
  if (depth > kMaxEncodeDepth) {
    throw ErrorException(keyedArchiverError("property list nested too deeply"));
  }
  if (const std::string* text = tree.string()) {
    if (*text != kNull) return append(*text);
    // A plain "$null" would read back as nil: store that one string as an NSString object.
    PlistUid slot = append(PlistValue());
    PlistDict fields;
    fields.set(kStringKey, *text);
    fields.set(kClassKey, classUid(KeyedClass::derivedFromNSObject(kNSString)));
    objects_[slot.value] = std::move(fields);
    return slot;
  }
  if (tree.isData() || tree.isInteger() || tree.isBool() || tree.isReal()) return append(tree);
  if (std::optional<PlistDate> date = tree.date()) {
    PlistUid slot = append(PlistValue());
    PlistDict fields;
    fields.set(kTimeKey, date->secondsSince2001);
    fields.set(kClassKey, classUid(KeyedClass::derivedFromNSObject(kNSDate)));
    objects_[slot.value] = std::move(fields);
    return slot;
  }
  if (const PlistArray* array = tree.array()) {
    PlistUid slot = append(PlistValue());
    PlistArray references;
    for (const PlistValue& element : *array)
      references.emplace_back(encodeTree(element, depth + 1));
    PlistDict fields;
    fields.set(kObjectsFieldKey, std::move(references));
    fields.set(kClassKey, classUid(KeyedClass::derivedFromNSObject(kNSArray)));
    objects_[slot.value] = std::move(fields);
    return slot;
  }
  if (const PlistDict* dict = tree.dict()) {
    PlistUid slot = append(PlistValue());
    PlistArray keyReferences;
    PlistArray valueReferences;
    for (const auto& entry : *dict) keyReferences.emplace_back(encodeTree(entry.first, depth + 1));
    for (const auto& entry : *dict) {
      valueReferences.emplace_back(encodeTree(entry.second, depth + 1));
    }
    PlistDict fields;
    fields.set(kKeysKey, std::move(keyReferences));
    fields.set(kObjectsFieldKey, std::move(valueReferences));
    fields.set(kClassKey, classUid(KeyedClass::derivedFromNSObject(kNSDictionary)));
    objects_[slot.value] = std::move(fields);
    return slot;
  }
  throw ErrorException(keyedArchiverError("a UID is not a property-list value"));
}

void KeyedArchiver::encodePropertyList(const PlistValue& tree, std::string_view key) {
  checkOpen();
  PlistUid uid = encodeTree(tree, 0);
  current().set(std::string(key), uid);
}

void KeyedArchiver::encodeString(std::string_view value, std::string_view key) {
  encodePropertyList(PlistValue(value), key);
}

void KeyedArchiver::encodeData(const Bytes& value, std::string_view key) {
  encodePropertyList(PlistValue(value), key);
}

void KeyedArchiver::encodeUuid(const Uuid& value, std::string_view key) {
  checkOpen();
  PlistUid slot = append(PlistValue());
  PlistDict fields;
  fields.set(kUuidBytesKey, Bytes(value.bytes().begin(), value.bytes().end()));
  fields.set(kClassKey, classUid(KeyedClass::derivedFromNSObject(kNSUUID)));
  objects_[slot.value] = std::move(fields);
  current().set(std::string(key), slot);
}

void KeyedArchiver::encodeNull(std::string_view key) {
  checkOpen();
  current().set(std::string(key), PlistUid{0});
}

Bytes KeyedArchiver::encodedData() {
  checkOpen();
  finished_ = true;
  PlistDict archive;
  archive.set(kVersionKey, kArchiveVersion);
  archive.set(kArchiverKey, kArchiverName);
  archive.set(kTopKey, std::move(top_));
  archive.set(kObjectsKey, std::move(objects_));
  return writeBinaryPlist(archive);
}

// ---- KeyedUnarchiver ----

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

void KeyedUnarchiver::enter(uint64_t uid) {
  if (inProgress_[uid]) corrupt("cycle in the object graph");
  if (stack_.size() + 1 > limits_.maxDepth) corrupt("object graph nested too deeply");
  if (++decoded_ > limits_.maxDecodedObjects) corrupt("archive expands to too many objects");
  inProgress_[uid] = true;
}

void KeyedUnarchiver::leave(uint64_t uid) { inProgress_[uid] = false; }

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

  // The frame marks the object as being decoded (cycles) and counts toward the depth bound.
  enter(uid);
  stack_.push_back(Frame{&fields, uid});
  struct Exit {
    KeyedUnarchiver* self;
    uint64_t uid;
    ~Exit() {
      self->stack_.pop_back();
      self->leave(uid);
    }
  } exit{this, uid};

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
  enter(*uid);
  stack_.push_back(Frame{value.dict(), *uid});
  struct Exit {
    KeyedUnarchiver* self;
    uint64_t uid;
    ~Exit() {
      self->stack_.pop_back();
      self->leave(uid);
    }
  } exit{this, *uid};
  decode(*this, cls->name);
  return true;
}

// ---- Encodable values ----

Bytes archiveEncodable(const PlistValue& tree) {
  KeyedArchiver archiver;
  archiver.encodePropertyList(tree, kKeyedArchiveRootObjectKey);
  return archiver.encodedData();
}

std::optional<PlistValue> unarchiveDecodable(const Bytes& archive,
                                             const KeyedArchiveLimits& limits) {
  KeyedUnarchiver unarchiver(archive, limits);
  return unarchiver.decodePropertyList(kKeyedArchiveRootObjectKey);
}

}  // namespace brellis::platform::foundation
