#pragma once

#include <cstdint>

// The names of NSKeyedArchiver's format (keyed_archiver.h), shared by the archiver and the
// unarchiver.

namespace brellis::platform::foundation::keyed_archive {

inline constexpr const char* kArchiverKey = "$archiver";
inline constexpr const char* kVersionKey = "$version";
inline constexpr const char* kTopKey = "$top";
inline constexpr const char* kObjectsKey = "$objects";
inline constexpr const char* kClassKey = "$class";
inline constexpr const char* kClassNameKey = "$classname";
inline constexpr const char* kClassesKey = "$classes";
inline constexpr const char* kNull = "$null";
inline constexpr const char* kArchiverName = "NSKeyedArchiver";
inline constexpr int64_t kArchiveVersion = 100000;
// How XML property lists spell a UID.
inline constexpr const char* kXmlUidKey = "CF$UID";

inline constexpr const char* kNSObject = "NSObject";
inline constexpr const char* kNSDictionary = "NSDictionary";
inline constexpr const char* kNSMutableDictionary = "NSMutableDictionary";
inline constexpr const char* kNSArray = "NSArray";
inline constexpr const char* kNSMutableArray = "NSMutableArray";
inline constexpr const char* kNSString = "NSString";
inline constexpr const char* kNSMutableString = "NSMutableString";
inline constexpr const char* kNSData = "NSData";
inline constexpr const char* kNSMutableData = "NSMutableData";
inline constexpr const char* kNSDate = "NSDate";
inline constexpr const char* kNSUUID = "NSUUID";
inline constexpr const char* kKeysKey = "NS.keys";
inline constexpr const char* kObjectsFieldKey = "NS.objects";
inline constexpr const char* kStringKey = "NS.string";
inline constexpr const char* kBytesKey = "NS.bytes";
inline constexpr const char* kTimeKey = "NS.time";
inline constexpr const char* kUuidBytesKey = "NS.uuidbytes";

}  // namespace brellis::platform::foundation::keyed_archive
