#include "platform/foundation/keyed_archiver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "platform/foundation/keyed_unarchiver.h"
#include "platform/foundation/plist_codec.h"
#include "testing/support/python_oracle.h"

namespace brellis::platform::foundation {
namespace {

const std::filesystem::path kTestsDir = std::filesystem::path(__FILE__).parent_path();

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

Bytes fixture(const std::string& name) {
  return readFile(kTestsDir / "fixtures" / ("NSKeyedUnarchiver-" + name + ".plist"));
}

// Runs the plist oracle (python's plistlib) over the bytes; "" when it refuses them.
std::string oracle(const std::string& command, const Bytes& bytes) {
  brellis::testing::OracleOutput output = brellis::testing::runPythonOracleOnFile(
      brellis::testing::plistOracleScript(), {command}, bytes);
  return output.ok() ? output.line() : "";
}

// A binary property list written by plistlib from the typed form.
Bytes plistlibWrite(const std::string& typedJson) {
  std::optional<Bytes> bytes = brellis::testing::runPythonOracleWritingFile(
      brellis::testing::plistOracleScript(), {"write"}, typedJson);
  EXPECT_TRUE(bytes.has_value()) << typedJson;
  return bytes.value_or(Bytes());
}

// An archive whose "$objects" (after "$null") are the given typed entries, root = UID 1.
Bytes archiveWithObjects(const std::string& objects, const std::string& root = R"({"uid":1})") {
  return plistlibWrite(
      R"({"dict":{"$archiver":{"str":"NSKeyedArchiver"},"$version":{"int":100000},)"
      R"("$top":{"dict":{"root":)" +
      root + R"(}},"$objects":{"array":[{"str":"$null"},)" + objects + "]}}}");
}

constexpr const char* kArrayClass =
    R"({"dict":{"$classname":{"str":"NSArray"},"$classes":{"array":[{"str":"NSArray"},{"str":"NSObject"}]}}})";

int64_t unarchiveErrorCode(const Bytes& bytes, const KeyedArchiveLimits& limits = {}) {
  try {
    unarchiveDecodable(bytes, limits);
  } catch (const DecodingError& error) {
    EXPECT_EQ(error.toRecord().domain, kCocoaErrorDomain);
    EXPECT_FALSE(error.toRecord().localizedDescription().empty());
    return error.toRecord().code;
  }
  return 0;
}

PlistValue sampleTree() {
  PlistDict inner;
  inner.set("k", PlistValue(int64_t{-1}));
  PlistDict dict;
  dict.set("b", PlistValue(true));
  dict.set("i", PlistValue(int64_t{42}));
  dict.set("r", PlistValue(2.5));
  dict.set("s", PlistValue("h\xC3\xA9llo"));
  dict.set("d", PlistValue(Bytes{0, 1, 0xFF}));
  dict.set("t", PlistValue(PlistDate{86400.5}));
  dict.set("a",
           PlistValue(PlistArray{PlistValue("x"), PlistValue(inner), PlistValue(PlistArray{})}));
  dict.set("u", PlistValue(uint64_t{10000000000000000000ull}));
  dict.set("n", PlistValue("$null"));
  return dict;
}

TEST(KeyedArchiverFormat, PlistlibReadsTheTreeBack) {
  Bytes archive = archiveEncodable(sampleTree());
  EXPECT_EQ(oracle("root", archive),
            R"({"dict":{"a":{"array":[{"str":"x"},{"dict":{"k":{"int":-1}}},{"array":[]}]},)"
            R"("b":{"bool":true},"d":{"data":"0001ff"},"i":{"int":42},"n":{"str":"$null"},)"
            R"("r":{"real":2.5},"s":{"str":"héllo"},"t":{"date":86400.5},)"
            R"("u":{"int":10000000000000000000}}})");
  std::optional<PlistValue> back = unarchiveDecodable(archive);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, sampleTree());
}

TEST(KeyedArchiverFormat, ExactLayoutOfASmallArchive) {
  Bytes archive =
      archiveEncodable(PlistValue(PlistArray{PlistValue("baa"), PlistValue(int64_t{7})}));
  EXPECT_EQ(
      oracle("dump", archive),
      R"({"dict":{"$archiver":{"str":"NSKeyedArchiver"},"$objects":{"array":[)"
      R"({"str":"$null"},{"dict":{"$class":{"uid":4},"NS.objects":{"array":[{"uid":2},{"uid":3}]}}},)"
      R"({"str":"baa"},{"int":7},{"dict":{"$classes":{"array":[{"str":"NSArray"},)"
      R"({"str":"NSObject"}]},"$classname":{"str":"NSArray"}}}]},)"
      R"("$top":{"dict":{"root":{"uid":1}}},"$version":{"int":100000}}})");
}

TEST(KeyedArchiverFormat, UidInsideTreeCannotBeArchived) {
  try {
    archiveEncodable(PlistValue(PlistArray{PlistValue(PlistUid{1})}));
    FAIL();
  } catch (const ErrorException& error) {
    EXPECT_EQ(error.record().code, kCoderInvalidValueError);
  }
  KeyedArchiver archiver;
  archiver.encodedData();
  EXPECT_THROW(archiver.encodeInt64(1, "x"), std::logic_error);
}

TEST(KeyedUnarchiverMacOSArchives, ReadsArrayAndUuid) {
  std::optional<PlistValue> array = unarchiveDecodable(fixture("ArrayTest"));
  ASSERT_TRUE(array);
  EXPECT_EQ(*array, PlistValue(PlistArray{PlistValue("baa"), PlistValue("baa"), PlistValue("black"),
                                          PlistValue("sheep")}));

  KeyedUnarchiver unarchiver(fixture("UUIDTest"));
  std::optional<Uuid> uuid = unarchiver.decodeUuid(kKeyedArchiveRootObjectKey);
  ASSERT_TRUE(uuid);
  EXPECT_EQ(uuid->string(), "0AD863BA-7584-40CF-8896-BD87B3280C34");
  // NSUUID is no property-list class.
  EXPECT_EQ(unarchiveErrorCode(fixture("UUIDTest")), kCoderReadCorruptError);
}

TEST(KeyedUnarchiverMacOSArchives, RefusesClassesOutsideTheAllowList) {
  for (const char* name : {"ComplexTest", "NotificationTest", "URLTest", "OrderedSetTest",
                           "RangeTest", "RectTest", "EdgeInsetsTest", "ConcreteValueTest"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(unarchiveErrorCode(fixture(name)), kCoderReadCorruptError);
  }
}

TEST(KeyedUnarchiverInput, NotAnArchiveIsTheUnarchiversError) {
  EXPECT_EQ(unarchiveErrorCode(Bytes{}), kCoderReadCorruptError);
  EXPECT_EQ(unarchiveErrorCode(Bytes{'n', 'o', 'p', 'e'}), kCoderReadCorruptError);
  EXPECT_EQ(unarchiveErrorCode(writeBinaryPlist(PlistValue(PlistArray{}))), kCoderReadCorruptError);
  EXPECT_EQ(unarchiveErrorCode(plistlibWrite(R"({"dict":{"root":{"int":1}}})")),
            kCoderReadCorruptError);
  EXPECT_EQ(unarchiveErrorCode(plistlibWrite(
                R"({"dict":{"$archiver":{"str":"NSKeyedArchiver"},"$version":{"int":99},)"
                R"("$top":{"dict":{}},"$objects":{"array":[{"str":"$null"}]}}})")),
            kCoderReadCorruptError);
  try {
    unarchiveDecodable(Bytes{1, 2, 3});
    FAIL();
  } catch (const DecodingError& error) {
    EXPECT_EQ(error.toRecord().localizedDescription(),
              "The data couldn\u2019t be read because it isn\u2019t in the correct format.");
  }
}

TEST(KeyedUnarchiverInput, MissingOrNilRootIsNoValue) {
  EXPECT_FALSE(unarchiveDecodable(
      plistlibWrite(R"({"dict":{"$archiver":{"str":"NSKeyedArchiver"},"$version":{"int":100000},)"
                    R"("$top":{"dict":{}},"$objects":{"array":[{"str":"$null"}]}}})")));
  EXPECT_FALSE(unarchiveDecodable(archiveWithObjects(R"({"int":1})", R"({"uid":0})")));
  std::optional<PlistValue> number = unarchiveDecodable(archiveWithObjects(R"({"int":5})"));
  ASSERT_TRUE(number);
  EXPECT_EQ(number->int64(), 5);
}

TEST(KeyedUnarchiverInput, MalformedGraphsAreRefused) {
  const std::string arrayOf = R"({"dict":{"$class":{"uid":2},"NS.objects":{"array":[)";
  // A reference past the end of "$objects".
  EXPECT_EQ(unarchiveErrorCode(archiveWithObjects(arrayOf + R"({"uid":9}]}}},)" + kArrayClass)),
            kCoderReadCorruptError);
  EXPECT_EQ(unarchiveErrorCode(archiveWithObjects(R"({"int":1})", R"({"uid":5})")),
            kCoderReadCorruptError);
  // An array that holds itself.
  EXPECT_EQ(unarchiveErrorCode(archiveWithObjects(arrayOf + R"({"uid":1}]}}},)" + kArrayClass)),
            kCoderReadCorruptError);
  // nil inside an array.
  EXPECT_EQ(unarchiveErrorCode(archiveWithObjects(arrayOf + R"({"uid":0}]}}},)" + kArrayClass)),
            kCoderReadCorruptError);
  // "$class" naming a string, and an object without "$class".
  EXPECT_EQ(unarchiveErrorCode(archiveWithObjects(arrayOf + R"(]}}},{"str":"NSArray"})")),
            kCoderReadCorruptError);
  EXPECT_EQ(unarchiveErrorCode(archiveWithObjects(R"({"dict":{"NS.objects":{"array":[]}}})")),
            kCoderReadCorruptError);
  // Dictionary with a non-string key and with unequal key and object counts.
  const std::string dictClass =
      R"({"dict":{"$classname":{"str":"NSMutableDictionary"},"$classes":{"array":[)"
      R"({"str":"NSMutableDictionary"},{"str":"NSDictionary"},{"str":"NSObject"}]}}})";
  EXPECT_EQ(unarchiveErrorCode(
                archiveWithObjects(R"({"dict":{"$class":{"uid":3},"NS.keys":{"array":[{"uid":2}]},)"
                                   R"("NS.objects":{"array":[{"uid":2}]}}},{"int":4},)" +
                                   dictClass)),
            kCoderReadCorruptError);
  EXPECT_EQ(unarchiveErrorCode(
                archiveWithObjects(R"({"dict":{"$class":{"uid":3},"NS.keys":{"array":[{"uid":2}]},)"
                                   R"("NS.objects":{"array":[]}}},{"str":"k"},)" +
                                   dictClass)),
            kCoderReadCorruptError);
  // A mutable dictionary written by another archiver reads.
  std::optional<PlistValue> dict = unarchiveDecodable(
      archiveWithObjects(R"({"dict":{"$class":{"uid":3},"NS.keys":{"array":[{"uid":2}]},)"
                         R"("NS.objects":{"array":[{"uid":2}]}}},{"str":"k"},)" +
                         dictClass));
  ASSERT_TRUE(dict && dict->dict());
  EXPECT_EQ(*dict->dict()->find("k")->string(), "k");
}

TEST(KeyedUnarchiverInput, DepthSizeAndExpansionAreBounded) {
  PlistValue deep = PlistValue(PlistArray{});
  for (int i = 0; i < 40; ++i) deep = PlistValue(PlistArray{deep});
  Bytes archive = archiveEncodable(deep);
  KeyedArchiveLimits shallow;
  shallow.maxDepth = 20;
  EXPECT_EQ(unarchiveErrorCode(archive, shallow), kCoderReadCorruptError);
  EXPECT_TRUE(unarchiveDecodable(archive));

  KeyedArchiveLimits small;
  small.maxInputBytes = archive.size() - 1;
  EXPECT_EQ(unarchiveErrorCode(archive, small), kCoderReadCorruptError);
  KeyedArchiveLimits fewObjects;
  fewObjects.maxObjects = 10;
  EXPECT_EQ(unarchiveErrorCode(archive, fewObjects), kCoderReadCorruptError);

  // Each level refers twice to the next: 2^40 objects if expanded without a bound.
  std::string objects;
  const int levels = 40;
  for (int i = 1; i <= levels; ++i) {
    int next = i + 1;
    objects += R"({"dict":{"$class":{"uid":)" + std::to_string(levels + 2) +
               R"(},"NS.objects":{"array":[{"uid":)" + std::to_string(next) + R"(},{"uid":)" +
               std::to_string(next) + "}]}}},";
  }
  objects += R"({"int":1},)";
  objects += kArrayClass;
  EXPECT_EQ(unarchiveErrorCode(archiveWithObjects(objects)), kCoderReadCorruptError);
}

class Point : public KeyedEncodable {
 public:
  Point(int64_t x, bool visible, std::string label) : x_(x), visible_(visible), label_(label) {}
  KeyedClass keyedClass() const override { return {"BRPoint", {"BRPoint", "BRShape", "NSObject"}}; }
  void encode(KeyedArchiver& archiver) const override {
    archiver.encodeInt64(x_, "x");
    archiver.encodeBool(visible_, "visible");
    archiver.encodeString(label_, "label");
    archiver.encodeNull("nothing");
  }

 private:
  int64_t x_;
  bool visible_;
  std::string label_;
};

class Pair : public KeyedEncodable {
 public:
  KeyedClass keyedClass() const override { return KeyedClass::derivedFromNSObject("BRPair"); }
  void encode(KeyedArchiver& archiver) const override {
    archiver.encodeObject(Point(-3, true, "a"), "first");
    archiver.encodeObject(Point(4, false, "b"), "second");
    archiver.encodeUuid(*Uuid::parse("0AD863BA-7584-40CF-8896-BD87B3280C34"), "id");
    archiver.encodeDouble(0.25, "scale");
  }
};

TEST(KeyedObjects, CustomClassesKeepInlineValuesAndReferences) {
  KeyedArchiver archiver;
  archiver.encodeObject(Pair(), kKeyedArchiveRootObjectKey);
  archiver.encodeInt64(3, "topLevel");
  Bytes archive = archiver.encodedData();

  PlistValue raw = readBinaryPlist(archive);
  const PlistArray& objects = *raw.dict()->find("$objects")->array();
  const PlistDict& pair = *objects[1].dict();
  EXPECT_TRUE(pair.find("first")->isUid());
  EXPECT_TRUE(pair.find("scale")->isReal());
  const PlistDict& first = *objects[pair.find("first")->uid()->value].dict();
  EXPECT_EQ(first.find("x")->int64(), -3);
  EXPECT_EQ(first.find("visible")->boolean(), true);
  EXPECT_TRUE(first.find("label")->isUid());
  EXPECT_EQ(first.find("nothing")->uid(), PlistUid{0});
  EXPECT_EQ(raw.dict()->find("$top")->dict()->find("topLevel")->int64(), 3);
  EXPECT_NE(oracle("dump", archive), "");

  KeyedUnarchiver unarchiver(archive);
  EXPECT_EQ(unarchiver.decodeInt64("topLevel"), 3);
  std::string seen;
  bool found = unarchiver.decodeObject(
      kKeyedArchiveRootObjectKey, {"BRPair"}, [&](KeyedUnarchiver& u, const std::string& cls) {
        seen += cls;
        EXPECT_EQ(u.decodeDouble("scale"), 0.25);
        EXPECT_EQ(u.decodeUuid("id")->string(), "0AD863BA-7584-40CF-8896-BD87B3280C34");
        for (const char* key : {"first", "second"}) {
          u.decodeObject(key, {"BRPoint"}, [&](KeyedUnarchiver& p, const std::string& name) {
            seen += "," + name + ":" + std::to_string(*p.decodeInt64("x")) + ":" +
                    (*p.decodeBool("visible") ? "v" : "h") + ":" + *p.decodeString("label");
            EXPECT_FALSE(p.decodeString("nothing"));
            EXPECT_FALSE(p.decodeInt64("missing"));
            EXPECT_FALSE(p.containsValue("scale"));
            EXPECT_THROW(p.decodeInt64("label"), DecodingError);
            EXPECT_THROW(p.decodeData("label"), DecodingError);
          });
        }
        EXPECT_TRUE(u.containsValue("scale"));
      });
  EXPECT_TRUE(found);
  EXPECT_EQ(seen, "BRPair,BRPoint:-3:v:a,BRPoint:4:h:b");
  EXPECT_FALSE(
      unarchiver.decodeObject("absent", {"BRPair"}, [](KeyedUnarchiver&, const std::string&) {}));

  // Secure coding: a class that the call does not allow is refused, as is its use as a tree.
  KeyedUnarchiver strict(archive);
  EXPECT_THROW(strict.decodeObject(kKeyedArchiveRootObjectKey, {"BRPoint"},
                                   [](KeyedUnarchiver&, const std::string&) {}),
               DecodingError);
  EXPECT_EQ(unarchiveErrorCode(archive), kCoderReadCorruptError);
}

}  // namespace
}  // namespace brellis::platform::foundation
