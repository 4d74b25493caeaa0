#include "platform/foundation/plist_codec.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "testing/support/python_oracle.h"

namespace brellis::platform::foundation {
namespace {

namespace fs = std::filesystem;

// python3's plistlib, the independent reader and writer of these tests.
const fs::path kOracle = fs::path(__FILE__).parent_path() / "plist_oracle.py";

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "plist_codec_test.XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  fs::path file(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

int runOracle(const std::vector<std::string>& args) {
  return brellis::testing::runPythonOracle(kOracle, args).status;
}

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

Bytes toBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

PlistDict dictOf(std::vector<std::pair<std::string, PlistValue>> entries) {
  PlistDict dict;
  for (auto& [key, value] : entries) dict.set(key, std::move(value));
  return dict;
}

}  // namespace

// Readable failure messages: the value in an XML-like notation.
void PrintTo(const PlistValue& value, std::ostream* os) {
  std::visit(
      [os](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, PlistDict>) {
          *os << "{";
          for (const auto& [key, element] : v) {
            *os << ::testing::PrintToString(key) << ": ";
            PrintTo(element, os);
            *os << ", ";
          }
          *os << "}";
        } else if constexpr (std::is_same_v<T, PlistArray>) {
          *os << "[";
          for (const PlistValue& element : v) {
            PrintTo(element, os);
            *os << ", ";
          }
          *os << "]";
        } else if constexpr (std::is_same_v<T, PlistBigUnsigned>) {
          *os << "big:" << v.value;
        } else if constexpr (std::is_same_v<T, PlistDate>) {
          *os << "date:" << v.secondsSince2001;
        } else if constexpr (std::is_same_v<T, PlistUid>) {
          *os << "uid:" << v.value;
        } else {
          *os << ::testing::PrintToString(v);
        }
      },
      value.storage());
}

namespace {

constexpr const char* kEmoji = "\xF0\x9F\x98\x80";  // U+1F600

// The C++ side of the oracle's cases: the same values, built independently.
PlistValue oracleCase(const std::string& name) {
  if (name == "strings") {
    return dictOf({{"ascii", "hello"},
                   {"latin", "caf\xC3\xA9"},
                   {"cjk", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
                   {"emoji", std::string(kEmoji) + " grin \xF0\x9F\x87\xAB\xF0\x9F\x87\xB7"},
                   {"empty", ""},
                   {"long_ascii", std::string(40, 'x')},
                   {"long_unicode",
                    [] {
                      std::string s;
                      for (int i = 0; i < 20; ++i) s += "\xC3\xA9";
                      return PlistValue(s);
                    }()},
                   {"k\xC3\xA9y", "non-ASCII key"}});
  }
  if (name == "integers") {
    return PlistArray{0,
                      1,
                      255,
                      256,
                      65535,
                      65536,
                      int64_t{4294967295},
                      int64_t{4294967296},
                      -1,
                      std::numeric_limits<int64_t>::min(),
                      std::numeric_limits<int64_t>::max(),
                      PlistBigUnsigned{uint64_t{1} << 63},
                      PlistBigUnsigned{std::numeric_limits<uint64_t>::max()}};
  }
  if (name == "data") {
    Bytes big(300);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i % 256);
    return dictOf({{"empty", Bytes{}}, {"small", Bytes{0x00, 0x01, 0xFF}}, {"big", big}});
  }
  if (name == "nested") {
    return dictOf({{"a", dictOf({{"b", PlistArray{1, dictOf({{"c", PlistArray{true, false}}})}},
                                 {"d", PlistArray{}}})},
                   {"e", PlistDict{}},
                   {"f", PlistArray{PlistArray{PlistArray{PlistArray{"deep"}}}}}});
  }
  if (name == "reals") return PlistArray{0.0, 1.5, -2.25, 1e300, 5e-324, 3.141592653589793};
  if (name == "dates") {
    return PlistArray{PlistDate{0}, PlistDate{730000000.5}, PlistDate{-31536000}};
  }
  if (name == "booleans") return PlistArray{true, false, dictOf({{"t", true}})};
  if (name == "uids") {
    return PlistArray{PlistUid{0},
                      PlistUid{255},
                      PlistUid{256},
                      PlistUid{65536},
                      PlistUid{uint64_t{1} << 32},
                      PlistUid{std::numeric_limits<uint64_t>::max()}};
  }
  if (name == "many") {
    PlistArray many;
    for (int i = 0; i < 300; ++i) many.push_back("s" + std::to_string(i));
    for (int i = 0; i < 300; ++i) many.push_back(i);
    return many;
  }
  if (name == "xml") {
    return dictOf({{"name", std::string("caf\xC3\xA9 ") + kEmoji},
                   {"negative", -42},
                   {"min", std::numeric_limits<int64_t>::min()},
                   {"big", PlistBigUnsigned{uint64_t{1} << 63}},
                   {"max", PlistBigUnsigned{std::numeric_limits<uint64_t>::max()}},
                   {"data", Bytes{0x00, 0xFF, 'x', 'y', 'z'}},
                   {"when", PlistDate{86400}},
                   {"list", PlistArray{1.5, true, false, PlistDict{}}},
                   {"nested", dictOf({{"inner", PlistArray{"a", "b"}}})}});
  }
  ADD_FAILURE() << "no case " << name;
  return {};
}

const std::vector<std::string> kBinaryCases = {"strings", "integers", "data", "nested", "reals",
                                               "dates",   "booleans", "uids", "many",   "xml"};

// ---- against plistlib ----

TEST(BinaryPlistOracleTest, PlistlibReadsWhatWeWrite) {
  TempDir dir;
  for (const std::string& name : kBinaryCases) {
    SCOPED_TRACE(name);
    const fs::path file = dir.file(name + ".plist");
    writeFile(file, writeBinaryPlist(oracleCase(name)));
    EXPECT_EQ(runOracle({"check", name, file.string()}), 0);
  }
}

TEST(BinaryPlistOracleTest, WeReadWhatPlistlibWrites) {
  TempDir dir;
  for (const std::string& name : kBinaryCases) {
    SCOPED_TRACE(name);
    const fs::path file = dir.file(name + ".plist");
    ASSERT_EQ(runOracle({"dump", name, file.string()}), 0);
    const Bytes bytes = readFile(file);
    EXPECT_EQ(readBinaryPlist(bytes), oracleCase(name));
    EXPECT_EQ(readPlist(bytes), oracleCase(name));
  }
}

TEST(XmlPlistOracleTest, BothWaysWithPlistlib) {
  TempDir dir;
  const fs::path theirs = dir.file("theirs.plist");
  ASSERT_EQ(runOracle({"dump", "xml", theirs.string(), "xml"}), 0);
  const Bytes theirBytes = readFile(theirs);
  EXPECT_EQ(readXmlPlist(theirBytes), oracleCase("xml"));
  EXPECT_EQ(readPlist(theirBytes), oracleCase("xml"));

  const fs::path ours = dir.file("ours.plist");
  writeFile(ours, toBytes(writeXmlPlist(oracleCase("xml"))));
  EXPECT_EQ(runOracle({"check", "xml", ours.string()}), 0);
}

// ---- exact bytes of the writer ----

// The object area of a file holding one object.
Bytes onlyObject(const Bytes& file) {
  EXPECT_GE(file.size(), 8u + 32u);
  uint64_t tableOffset = 0;
  for (size_t i = file.size() - 8; i < file.size(); ++i) tableOffset = (tableOffset << 8) | file[i];
  return Bytes(file.begin() + 8, file.begin() + static_cast<ptrdiff_t>(tableOffset));
}

TEST(BinaryPlistWriterTest, WholeFileOfOneInteger) {
  const Bytes expected = {'b',  'p',  'l',  'i',  's',  't',  '0',  '0',  0x13,
                          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // -1
                          0x08,                                            // offset table
                          0,    0,    0,    0,    0,    0,    1,    1,     // sizes
                          0,    0,    0,    0,    0,    0,    0,    1,     // one object
                          0,    0,    0,    0,    0,    0,    0,    0,     // top object
                          0,    0,    0,    0,    0,    0,    0,    17};   // table offset
  EXPECT_EQ(writeBinaryPlist(PlistValue(-1)), expected);
}

TEST(BinaryPlistWriterTest, IntegerWidths) {
  const std::vector<std::pair<PlistValue, Bytes>> cases = {
      {0, {0x10, 0x00}},
      {255, {0x10, 0xFF}},
      {256, {0x11, 0x01, 0x00}},
      {65535, {0x11, 0xFF, 0xFF}},
      {65536, {0x12, 0x00, 0x01, 0x00, 0x00}},
      {int64_t{4294967295}, {0x12, 0xFF, 0xFF, 0xFF, 0xFF}},
      {int64_t{4294967296}, {0x13, 0, 0, 0, 1, 0, 0, 0, 0}},
      {std::numeric_limits<int64_t>::min(), {0x13, 0x80, 0, 0, 0, 0, 0, 0, 0}},
      {std::numeric_limits<int64_t>::max(), {0x13, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {PlistBigUnsigned{uint64_t{1} << 63},
       {0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0}},
      {std::numeric_limits<uint64_t>::max(),
       {0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(onlyObject(writeBinaryPlist(value)), expected) << ::testing::PrintToString(expected);
  }
}

TEST(BinaryPlistWriterTest, StringEncodings) {
  EXPECT_EQ(onlyObject(writeBinaryPlist("ab")), (Bytes{0x52, 'a', 'b'}));
  EXPECT_EQ(onlyObject(writeBinaryPlist("\xC3\xA9")), (Bytes{0x61, 0x00, 0xE9}));
  EXPECT_EQ(onlyObject(writeBinaryPlist(kEmoji)), (Bytes{0x62, 0xD8, 0x3D, 0xDE, 0x00}));
  // Fifteen characters or more: the count follows as an integer object.
  const Bytes long15 = onlyObject(writeBinaryPlist(std::string(15, 'z')));
  EXPECT_EQ(Bytes(long15.begin(), long15.begin() + 3), (Bytes{0x5F, 0x10, 0x0F}));
  EXPECT_EQ(long15.size(), 18u);
}

TEST(BinaryPlistWriterTest, OtherScalars) {
  EXPECT_EQ(onlyObject(writeBinaryPlist(true)), (Bytes{0x09}));
  EXPECT_EQ(onlyObject(writeBinaryPlist(false)), (Bytes{0x08}));
  EXPECT_EQ(onlyObject(writeBinaryPlist(1.5)), (Bytes{0x23, 0x3F, 0xF8, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(onlyObject(writeBinaryPlist(PlistDate{1.5})),
            (Bytes{0x33, 0x3F, 0xF8, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(onlyObject(writeBinaryPlist(PlistUid{7})), (Bytes{0x80, 0x07}));
  EXPECT_EQ(onlyObject(writeBinaryPlist(PlistUid{0x10000})), (Bytes{0x83, 0, 1, 0, 0}));
  EXPECT_EQ(onlyObject(writeBinaryPlist(Bytes{})), (Bytes{0x40}));
}

TEST(BinaryPlistWriterTest, EqualStringsShareOneObject) {
  const PlistValue value = dictOf({{"a", "a"}, {"b", PlistArray{"a", "b"}}});
  const Bytes bytes = writeBinaryPlist(value);
  // dict, "a", "b", array: the key and value strings are written once each.
  EXPECT_EQ(bytes[bytes.size() - 17], 4);
  EXPECT_EQ(readBinaryPlist(bytes), value);
}

TEST(BinaryPlistWriterTest, RefusesWhatCannotBeWritten) {
  EXPECT_THROW(writeBinaryPlist(std::string("bad \xC3 utf8")), PlistError);
  EXPECT_THROW(writeBinaryPlist(dictOf({{"\xED\xA0\x80", 1}})), PlistError);  // a surrogate
  PlistValue deep = PlistArray{};
  for (int i = 0; i < 1100; ++i) deep = PlistArray{std::move(deep)};
  EXPECT_THROW(writeBinaryPlist(deep), PlistError);
}

// ---- round trips ----

TEST(BinaryPlistRoundTripTest, WideReferencesAndOffsets) {
  // 70001 objects need 4-byte references; a 70000-byte data value pushes offsets past 2^16.
  PlistArray array;
  array.push_back(Bytes(70000, 0xAB));
  for (int64_t i = 0; i < 70000; ++i) array.push_back(i * 7919 - 3);
  const PlistValue value(std::move(array));
  const Bytes bytes = writeBinaryPlist(value);
  EXPECT_EQ(bytes[bytes.size() - 26], 4);  // offset size
  EXPECT_EQ(bytes[bytes.size() - 25], 4);  // reference size
  EXPECT_EQ(readBinaryPlist(bytes), value);
}

TEST(BinaryPlistRoundTripTest, EveryKindNestedAndStrings) {
  PlistValue value = dictOf({{"text", std::string("x\0y", 3)},
                             {"uid", PlistUid{9}},
                             {"date", PlistDate{-0.25}},
                             {"nan-free real", -0.0},
                             {"z", dictOf({{kEmoji, PlistArray{PlistDict{}, Bytes{1}}}})}});
  EXPECT_EQ(readBinaryPlist(writeBinaryPlist(value)), value);
  for (const std::string& name : kBinaryCases) {
    EXPECT_EQ(readBinaryPlist(writeBinaryPlist(oracleCase(name))), oracleCase(name)) << name;
  }
}

// ---- hostile input ----

void appendBigEndian(Bytes& out, uint64_t value, size_t width) {
  for (size_t i = width; i-- > 0;) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A file of the given raw objects with a correct offset table and trailer (1-byte offsets and
// references unless told); tests then break one thing at a time.
Bytes assemble(const std::vector<Bytes>& objects, uint8_t refSize = 1) {
  Bytes out = toBytes("bplist00");
  std::vector<uint64_t> offsets;
  for (const Bytes& object : objects) {
    offsets.push_back(out.size());
    out.insert(out.end(), object.begin(), object.end());
  }
  const uint64_t tableOffset = out.size();
  const uint8_t offsetSize = offsets.back() > 0xFF ? 2 : 1;
  for (uint64_t offset : offsets) appendBigEndian(out, offset, offsetSize);
  out.insert(out.end(), 6, 0);
  out.push_back(offsetSize);
  out.push_back(refSize);
  appendBigEndian(out, objects.size(), 8);
  appendBigEndian(out, 0, 8);
  appendBigEndian(out, tableOffset, 8);
  return out;
}

// Overwrites a trailer field: 6 offset size, 7 reference size, 8 count, 16 top, 24 table offset.
Bytes withTrailer(Bytes file, size_t field, uint64_t value) {
  const size_t width = field < 8 ? 1 : 8;
  const size_t at = file.size() - 32 + field;
  for (size_t i = 0; i < width; ++i)
    file[at + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
  return file;
}

void expectRefused(const Bytes& bytes, const std::string& fragment,
                   const PlistLimits& limits = {}) {
  try {
    readBinaryPlist(bytes, limits);
    ADD_FAILURE() << "accepted; expected an error mentioning \"" << fragment << "\"";
  } catch (const PlistError& error) {
    EXPECT_NE(std::string(error.what()).find(fragment), std::string::npos) << error.what();
  }
}

TEST(BinaryPlistReaderTest, ValidBasicsFromRawObjects) {
  EXPECT_EQ(readBinaryPlist(assemble({{0x22, 0x3F, 0xC0, 0x00, 0x00}})), PlistValue(1.5));
  Bytes big5 = {0x14};
  appendBigEndian(big5, 0, 8);
  appendBigEndian(big5, 5, 8);
  EXPECT_EQ(readBinaryPlist(assemble({big5})), PlistValue(5));
  EXPECT_EQ(readBinaryPlist(assemble({{0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0x2A}})),
            PlistValue(PlistUid{42}));
  // Shared objects (a DAG) are fine; only a path back to an object being read is a cycle.
  const PlistValue shared = readBinaryPlist(assemble({{0xA2, 1, 1}, {0xA1, 2}, {0x10, 3}}));
  EXPECT_EQ(shared, PlistValue(PlistArray{PlistArray{3}, PlistArray{3}}));
}

TEST(BinaryPlistReaderTest, RefusesBrokenStructure) {
  const Bytes one = assemble({{0x10, 0x01}});
  ASSERT_EQ(readBinaryPlist(one), PlistValue(1));
  expectRefused(Bytes{}, "too short");
  Bytes wrongMagic = one;
  wrongMagic[7] = '1';
  expectRefused(wrongMagic, "header");
  expectRefused(withTrailer(one, 6, 0), "size");
  expectRefused(withTrailer(one, 6, 9), "size");
  expectRefused(withTrailer(one, 7, 0), "size");
  expectRefused(withTrailer(one, 8, 0), "object count");
  expectRefused(withTrailer(one, 8, uint64_t{1} << 40), "more objects");
  expectRefused(withTrailer(one, 8, 300), "size");  // 1-byte references cannot name them all
  expectRefused(withTrailer(one, 8, 200), "offset table");
  expectRefused(withTrailer(one, 16, 1), "top object");
  expectRefused(withTrailer(one, 24, 8), "offset table");
  expectRefused(withTrailer(one, 24, 0xFFFFFFFFFFFFFFF0ull), "offset table");
  Bytes offsetPastTable = one;
  offsetPastTable[10] = 10;  // the table itself starts at 10
  expectRefused(offsetPastTable, "offset out of range");
  Bytes offsetInHeader = one;
  offsetInHeader[10] = 3;
  expectRefused(offsetInHeader, "offset out of range");
  expectRefused(assemble({{0xA1, 0x05}}), "reference out of range");
  PlistLimits small;
  small.maxInputBytes = 20;
  expectRefused(one, "larger than the limit", small);
}

TEST(BinaryPlistReaderTest, RefusesBadObjects) {
  expectRefused(assemble({{0x53, 'c', 'a', 0xE9}}), "ASCII");
  expectRefused(assemble({{0x61, 0xD8, 0x3D}}), "UTF-16");
  expectRefused(assemble({{0x61, 0xDC, 0x00}}), "UTF-16");
  expectRefused(assemble({{0x62, 0xD8, 0x3D, 0x00, 0x41}}), "UTF-16");
  expectRefused(assemble({{0xD1, 1, 2}, {0x10, 1}, {0x10, 2}}), "key is not a string");
  Bytes big = {0x14};
  appendBigEndian(big, 1, 8);
  appendBigEndian(big, 0, 8);
  expectRefused(assemble({big}), "64 bits");
  expectRefused(assemble({{0x15, 0}}), "integer");
  expectRefused(assemble({{0x89, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}}), "uid");
  for (uint8_t marker : {0x00, 0x0F, 0x24, 0x34, 0x70, 0xC0, 0xB0, 0xF0}) {
    SCOPED_TRACE(static_cast<int>(marker));
    expectRefused(assemble({{marker, 0, 0, 0, 0, 0, 0, 0, 0}}), "");
  }
  expectRefused(assemble({{0x43, 'a'}}), "past the end");
  expectRefused(assemble({{0x13, 0, 0}}), "past the end");
  expectRefused(assemble({{0x4F, 0x14, 0}}), "invalid count");
}

TEST(BinaryPlistReaderTest, HugeDeclaredCountsAllocateNothing) {
  Bytes hugeCount = {0x13};
  appendBigEndian(hugeCount, 0x7FFFFFFFFFFFFFFFull, 8);
  for (uint8_t marker : {0x4F, 0x5F, 0x6F, 0xAF, 0xDF}) {
    SCOPED_TRACE(static_cast<int>(marker));
    Bytes object = {marker};
    object.insert(object.end(), hugeCount.begin(), hugeCount.end());
    expectRefused(assemble({object}), "");
  }
  Bytes negative = {0x4F, 0x13};
  appendBigEndian(negative, 0xFFFFFFFFFFFFFFFFull, 8);
  expectRefused(assemble({negative}), "invalid count");
}

TEST(BinaryPlistReaderTest, RefusesCycles) {
  expectRefused(assemble({{0xA1, 0x00}}), "contains itself");
  expectRefused(assemble({{0xA1, 0x01}, {0xA1, 0x00}}), "contains itself");
  expectRefused(assemble({{0xD1, 1, 0}, {0x51, 'k'}}), "contains itself");
}

TEST(BinaryPlistReaderTest, DepthIsBounded) {
  // Object i is an array holding object i + 1; the last is empty.
  const auto chain = [](size_t arrays) {
    std::vector<Bytes> objects;
    for (size_t i = 0; i + 1 < arrays; ++i) {
      Bytes ref = {0xA1};
      appendBigEndian(ref, i + 1, arrays > 255 ? 2 : 1);
      objects.push_back(ref);
    }
    objects.push_back({0xA0});
    return assemble(objects, arrays > 255 ? 2 : 1);
  };
  PlistLimits limits;
  limits.maxDepth = 5;
  EXPECT_NO_THROW(readBinaryPlist(chain(5), limits));
  expectRefused(chain(6), "deeper", limits);
  expectRefused(chain(200), "deeper");
  limits.maxDepth =
      std::numeric_limits<size_t>::max();  // the reader still stops short of the stack
  expectRefused(chain(5000), "deeper", limits);
}

TEST(BinaryPlistReaderTest, SharedObjectsCannotMultiplyWithoutBound) {
  // Six levels of arrays of 16 references to the next level: 16^6 values from 7 objects.
  std::vector<Bytes> objects;
  for (uint8_t level = 0; level < 6; ++level) {
    Bytes array = {0xAF, 0x10, 0x10};
    array.insert(array.end(), 16, static_cast<uint8_t>(level + 1));
    objects.push_back(array);
  }
  objects.push_back({0x10, 0x01});
  PlistLimits fewValues;
  fewValues.maxObjects = 50000;
  expectRefused(assemble(objects), "more values", fewValues);
  // Shared data: 1000 references to a 1000-byte value is a megabyte from a few kilobytes.
  Bytes refs = {0xAF, 0x11, 0x03, 0xE8};
  refs.insert(refs.end(), 1000, 1);
  Bytes data = {0x4F, 0x11, 0x03, 0xE8};
  data.insert(data.end(), 1000, 0x5A);
  PlistLimits limits;
  limits.maxInputBytes = 100000;
  expectRefused(assemble({refs, data}), "larger than the limit", limits);
}

TEST(BinaryPlistReaderTest, EveryTruncationIsRefused) {
  const Bytes whole = writeBinaryPlist(dictOf(
      {{"s", oracleCase("strings")}, {"n", oracleCase("nested")}, {"i", oracleCase("integers")}}));
  for (size_t length = 0; length < whole.size(); ++length) {
    EXPECT_THROW(readBinaryPlist(whole.data(), length), PlistError) << length;
  }
  EXPECT_THROW(readBinaryPlist(nullptr, 0), PlistError);
}

TEST(BinaryPlistReaderTest, EveryBitFlipIsReadOrRefusedCleanly) {
  const Bytes whole = writeBinaryPlist(dictOf(
      {{"s", oracleCase("strings")}, {"u", oracleCase("uids")}, {"d", oracleCase("dates")}}));
  size_t refused = 0;
  for (size_t i = 0; i < whole.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      Bytes mutated = whole;
      mutated[i] ^= static_cast<uint8_t>(1 << bit);
      try {
        const PlistValue value = readBinaryPlist(mutated);
        // Whatever reads must write and read back the same.
        EXPECT_EQ(readBinaryPlist(writeBinaryPlist(value)), value);
      } catch (const PlistError&) {
        ++refused;
      }
    }
  }
  EXPECT_GT(refused, 0u);
}

// ---- XML ----

TEST(XmlPlistTest, RoundTripKeepsKindsAndSigns) {
  const PlistValue value = dictOf({{"min", std::numeric_limits<int64_t>::min()},
                                   {"minus one", -1},
                                   {"max", std::numeric_limits<int64_t>::max()},
                                   {"2^63", PlistBigUnsigned{uint64_t{1} << 63}},
                                   {"2^64-1", PlistBigUnsigned{~uint64_t{0}}},
                                   {"real", 0.1},
                                   {"tiny", 5e-324},
                                   {"date", PlistDate{-86400}},
                                   {"uid", PlistUid{12}},
                                   {"data", Bytes{0, 1, 2, 0xFF}},
                                   {"text", std::string("<&> caf\xC3\xA9 ") + kEmoji},
                                   {"list", PlistArray{true, false, PlistArray{}, PlistDict{}}}});
  const std::string xml = writeXmlPlist(value);
  EXPECT_NE(xml.find("<integer>18446744073709551615</integer>"), std::string::npos);
  EXPECT_NE(xml.find("<integer>-9223372036854775808</integer>"), std::string::npos);
  EXPECT_EQ(readXmlPlist(toBytes(xml)), value);
  EXPECT_EQ(readPlist(toBytes(xml)), value);
}

TEST(XmlPlistTest, RefusesHostileAndUnwritableInput) {
  std::string bomb = "<plist>";
  for (int i = 0; i < 200; ++i) bomb += "<array>";
  EXPECT_THROW(readXmlPlist(toBytes(bomb)), PlistError);
  // Closing tags hidden in comments do not hide the depth.
  std::string hidden = "<plist>";
  for (int i = 0; i < 200; ++i) hidden += "<array><!--</array>-->";
  EXPECT_THROW(readXmlPlist(toBytes(hidden)), PlistError);
  PlistLimits limits;
  limits.maxDepth = 2;
  EXPECT_NO_THROW(readXmlPlist(toBytes("<plist><array><array/></array></plist>"), limits));
  EXPECT_THROW(
      readXmlPlist(toBytes("<plist><array><array><dict></dict></array></array></plist>"), limits),
      PlistError);
  EXPECT_THROW(readXmlPlist(toBytes("<plist><array><string>x</array>")), PlistError);
  EXPECT_THROW(readXmlPlist(toBytes("<plist><string>\xE9</string></plist>")), PlistError);
  limits = {};
  limits.maxInputBytes = 10;
  EXPECT_THROW(readXmlPlist(toBytes("<plist><true/></plist>"), limits), PlistError);
  EXPECT_THROW(writeXmlPlist(std::string("a\0b", 3)), PlistError);
  EXPECT_THROW(writeXmlPlist(std::string("\xFF")), PlistError);
  EXPECT_THROW(writeXmlPlist(PlistDate{1e12}), PlistError);
}

TEST(PlistFormatTest, ReadPlistPicksTheFormatByItsHeader) {
  const PlistValue value = PlistArray{1, "two"};
  EXPECT_TRUE(looksLikeBinaryPlist(writeBinaryPlist(value)));
  EXPECT_FALSE(looksLikeBinaryPlist(toBytes(writeXmlPlist(value))));
  EXPECT_EQ(readPlist(writeBinaryPlist(value)), value);
  EXPECT_EQ(readPlist(toBytes("\xEF\xBB\xBF\n " + writeXmlPlist(value))), value);
  EXPECT_THROW(readPlist(toBytes("hello")), PlistError);
  EXPECT_THROW(readPlist(Bytes{}), PlistError);
  EXPECT_THROW(readPlist(toBytes("bplist00")), PlistError);
}

}  // namespace
}  // namespace brellis::platform::foundation
