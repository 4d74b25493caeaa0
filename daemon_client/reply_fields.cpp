#include "daemon_client/reply_fields.h"

#include <stdexcept>
#include <utility>

#include "platform/foundation/decoding_error.h"

namespace brellis::daemon_client {

namespace {

namespace xpc = platform::xpc;
using platform::foundation::DecodingError;
using platform::xpc::Value;
using platform::xpc::ValueKind;
using CodingPath = std::vector<std::string>;

[[noreturn]] void mismatch(const CodingPath& path, const char* expected, const Value& value) {
  throw DecodingError(
      DecodingError::Kind::typeMismatch, path,
      std::string("reply value is ") + xpc::kindName(value.kind()) + ", expected " + expected);
}

CodingPath at(CodingPath path, std::string key) {
  path.push_back(std::move(key));
  return path;
}

std::string indexKey(size_t index) { return "Index " + std::to_string(index); }

template <class T>
T checked(const T* value, const CodingPath& path, const char* expected, const Value& source) {
  if (value == nullptr) mismatch(path, expected, source);
  return *value;
}

std::vector<Bytes> bytesList(const Value& value, const CodingPath& path) {
  const auto* array = value.asArray();
  if (array == nullptr) mismatch(path, "array", value);
  std::vector<Bytes> list;
  for (size_t i = 0; i < array->size(); ++i) {
    const Value& item = (*array)[i];
    list.push_back(checked(item.asData(), at(path, indexKey(i)), "data element", item));
  }
  return list;
}

std::vector<std::string> stringList(const Value& value, const CodingPath& path,
                                    const char* expected) {
  const auto* array = value.asArray();
  if (array == nullptr) mismatch(path, expected, value);
  std::vector<std::string> list;
  for (size_t i = 0; i < array->size(); ++i) {
    const Value& item = (*array)[i];
    list.push_back(checked(item.asString(), at(path, indexKey(i)), "string element", item));
  }
  return list;
}

StringListsDictionary stringListsDictionary(const Value& value, const CodingPath& path) {
  const auto* dict = value.asDict();
  if (dict == nullptr) mismatch(path, "dictionary", value);
  StringListsDictionary result;
  for (const auto& [key, item] : *dict) {
    // A nil list is named as the list it should have been.
    result[key] = stringList(item, at(path, key), item.isNull() ? "array of strings" : "array");
  }
  return result;
}

Number number(const Value& value, const CodingPath& path) {
  switch (value.kind()) {
    case ValueKind::int64:
    case ValueKind::uint64:
    case ValueKind::real:
    case ValueKind::boolean:
      return value;
    default:
      mismatch(path, "number", value);
  }
}

}  // namespace

ReplyFields ReplyFields::decode(const OperationDescriptor& row, std::vector<Value> values) {
  static const Value nil;
  ReplyFields reply;
  reply.fields_.reserve(row.reply.count);
  for (size_t index = 0; index < row.reply.count; ++index) {
    const Value& value = index < values.size() ? values[index] : nil;
    const CodingPath path{indexKey(index)};
    Field field;
    if (!value.isNull()) {
      switch (row.reply[index]) {
        case WireKind::string:
        case WireKind::optionalString:
        case WireKind::url:
          field = checked(value.asString(), path, "string", value);
          break;
        case WireKind::bytes:
          field = checked(value.asData(), path, "data", value);
          break;
        case WireKind::endpoint:
          field = checked(value.asEndpoint(), path, "endpoint", value);
          break;
        case WireKind::number:
          field = number(value, path);
          break;
        case WireKind::fileHandle:
          field = checked(value.asFd(), path, "file handle", value);
          break;
        case WireKind::bytesList:
          field = bytesList(value, path);
          break;
        case WireKind::stringList:
          field = stringList(value, path, "array");
          break;
        case WireKind::stringListsDict:
          field = stringListsDictionary(value, path);
          break;
        case WireKind::error:
          reply.error_ = checked(value.asError(), path, "error", value);
          break;
        case WireKind::date:
        case WireKind::float64:
          // Argument kinds only: no reply carries them.
          throw std::logic_error("reply parameter of an argument-only kind");
      }
    }
    reply.fields_.push_back(std::move(field));
  }
  return reply;
}

}  // namespace brellis::daemon_client
