#include "platform/foundation/keyed_archiver.h"

#include <stdexcept>
#include <utility>

#include "platform/foundation/keyed_archive_format.h"
#include "platform/foundation/plist_codec.h"

namespace brellis::platform::foundation {

using namespace keyed_archive;

namespace {

constexpr const char* kWriteFormatMessage =
    "The data couldn\u2019t be written because it isn\u2019t in the correct format.";

// Bounds the archiver's own recursion over a caller's tree.
constexpr size_t kMaxEncodeDepth = 512;

}  // namespace

ErrorRecord keyedArchiverError(const std::string& reason) {
  ErrorRecord record;
  record.domain = kCocoaErrorDomain;
  record.code = kCoderInvalidValueError;
  record.userInfo.set(kDebugDescriptionKey, reason);
  record.userInfo.set(kLocalizedDescriptionKey, kWriteFormatMessage);
  return record;
}

KeyedClass KeyedClass::derivedFromNSObject(std::string name) {
  KeyedClass cls;
  cls.chain = {name, kNSObject};
  cls.name = std::move(name);
  return cls;
}

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

Bytes archiveEncodable(const PlistValue& tree) {
  KeyedArchiver archiver;
  archiver.encodePropertyList(tree, kKeyedArchiveRootObjectKey);
  return archiver.encodedData();
}

}  // namespace brellis::platform::foundation
