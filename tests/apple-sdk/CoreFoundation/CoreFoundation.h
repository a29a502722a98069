// SPDX-License-Identifier: Apache-2.0
/* Core Foundation, as far as the HID event system layer and the session use
 * it. Apple's documentation gives no release for most of these: they are as
 * old as Core Foundation (macOS 10.0); CFNull came with 10.2. */
#pragma once

#include <MacTypes.h>
#include <os/availability.h>

typedef long CFIndex;
typedef unsigned long CFTypeID;
typedef const void *CFTypeRef;
typedef struct { CFIndex location, length; } CFRange;
inline CFRange CFRangeMake(CFIndex location, CFIndex length) { return CFRange{location, length}; }

typedef const struct __CFAllocator *CFAllocatorRef;
extern const CFAllocatorRef kCFAllocatorDefault API_AVAILABLE(macos(10.0));
CFTypeID CFGetTypeID(CFTypeRef cf) API_AVAILABLE(macos(10.0));
CFTypeRef CFRetain(CFTypeRef cf) API_AVAILABLE(macos(10.0));
void CFRelease(CFTypeRef cf) API_AVAILABLE(macos(10.0));

typedef const struct __CFNull *CFNullRef;
extern const CFNullRef kCFNull API_AVAILABLE(macos(10.2));
CFTypeID CFNullGetTypeID(void) API_AVAILABLE(macos(10.2));

typedef const struct __CFBoolean *CFBooleanRef;
extern const CFBooleanRef kCFBooleanTrue API_AVAILABLE(macos(10.0));
extern const CFBooleanRef kCFBooleanFalse API_AVAILABLE(macos(10.0));
CFTypeID CFBooleanGetTypeID(void) API_AVAILABLE(macos(10.0));
Boolean CFBooleanGetValue(CFBooleanRef boolean) API_AVAILABLE(macos(10.0));

typedef unsigned long CFOptionFlags;
typedef enum : CFIndex { kCFCompareLessThan = -1, kCFCompareEqualTo = 0, kCFCompareGreaterThan = 1 } CFComparisonResult;
Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) API_AVAILABLE(macos(10.0));

typedef const struct __CFNumber *CFNumberRef;
typedef enum : CFIndex {
  kCFNumberSInt8Type = 1, kCFNumberSInt16Type = 2, kCFNumberSInt32Type = 3, kCFNumberSInt64Type = 4,
  kCFNumberFloat32Type = 5, kCFNumberFloat64Type = 6, kCFNumberCharType = 7, kCFNumberShortType = 8,
  kCFNumberIntType = 9, kCFNumberLongType = 10, kCFNumberLongLongType = 11, kCFNumberFloatType = 12,
  kCFNumberDoubleType = 13, kCFNumberCFIndexType = 14, kCFNumberNSIntegerType = 15, kCFNumberCGFloatType = 16
} CFNumberType;
CFTypeID CFNumberGetTypeID(void) API_AVAILABLE(macos(10.0));
CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void *valuePtr) API_AVAILABLE(macos(10.0));
CFNumberType CFNumberGetType(CFNumberRef number) API_AVAILABLE(macos(10.0));
CFIndex CFNumberGetByteSize(CFNumberRef number) API_AVAILABLE(macos(10.0));
Boolean CFNumberIsFloatType(CFNumberRef number) API_AVAILABLE(macos(10.0));
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void *valuePtr) API_AVAILABLE(macos(10.0));
CFComparisonResult CFNumberCompare(CFNumberRef number, CFNumberRef otherNumber, void *context) API_AVAILABLE(macos(10.0));

typedef const struct __CFString *CFStringRef;
typedef UInt32 CFStringEncoding;
enum { kCFStringEncodingUTF8 = 0x08000100 };
CFTypeID CFStringGetTypeID(void) API_AVAILABLE(macos(10.0));
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char *cStr, CFStringEncoding encoding) API_AVAILABLE(macos(10.0));
CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8 *bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation) API_AVAILABLE(macos(10.0));
CFIndex CFStringGetLength(CFStringRef theString) API_AVAILABLE(macos(10.0));
CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding,
                         UInt8 lossByte, Boolean isExternalRepresentation, UInt8 *buffer,
                         CFIndex maxBufLen, CFIndex *usedBufLen) API_AVAILABLE(macos(10.0));
Boolean CFStringGetCString(CFStringRef theString, char *buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) API_AVAILABLE(macos(10.0));
CFStringRef CFCopyDescription(CFTypeRef cf) API_AVAILABLE(macos(10.0));

typedef struct __CFBundle *CFBundleRef;
CFBundleRef CFBundleGetMainBundle(void) API_AVAILABLE(macos(10.0));
CFStringRef CFBundleGetIdentifier(CFBundleRef bundle) API_AVAILABLE(macos(10.0));

typedef const struct __CFData *CFDataRef;
CFTypeID CFDataGetTypeID(void) API_AVAILABLE(macos(10.0));
CFDataRef CFDataCreate(CFAllocatorRef allocator, const UInt8 *bytes, CFIndex length) API_AVAILABLE(macos(10.0));
CFIndex CFDataGetLength(CFDataRef theData) API_AVAILABLE(macos(10.0));
const UInt8 *CFDataGetBytePtr(CFDataRef theData) API_AVAILABLE(macos(10.0));

typedef CFTypeRef CFPropertyListRef;
typedef CFIndex CFPropertyListFormat;
typedef struct __CFError *CFErrorRef;
CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef allocator, CFDataRef data, CFOptionFlags options,
                                               CFPropertyListFormat *format, CFErrorRef *error) API_AVAILABLE(macos(10.6));

/* The callback tables are only ever passed by address. */
typedef struct CFArrayCallBacks CFArrayCallBacks;
typedef const struct __CFArray *CFArrayRef;
typedef struct __CFArray *CFMutableArrayRef;
extern const CFArrayCallBacks kCFTypeArrayCallBacks API_AVAILABLE(macos(10.0));
CFTypeID CFArrayGetTypeID(void) API_AVAILABLE(macos(10.0));
CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                       const CFArrayCallBacks *callBacks) API_AVAILABLE(macos(10.0));
CFIndex CFArrayGetCount(CFArrayRef theArray) API_AVAILABLE(macos(10.0));
const void *CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) API_AVAILABLE(macos(10.0));
void CFArrayAppendValue(CFMutableArrayRef theArray, const void *value) API_AVAILABLE(macos(10.0));

typedef struct CFDictionaryKeyCallBacks CFDictionaryKeyCallBacks;
typedef struct CFDictionaryValueCallBacks CFDictionaryValueCallBacks;
typedef const struct __CFDictionary *CFDictionaryRef;
typedef struct __CFDictionary *CFMutableDictionaryRef;
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks API_AVAILABLE(macos(10.0));
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks API_AVAILABLE(macos(10.0));
CFTypeID CFDictionaryGetTypeID(void) API_AVAILABLE(macos(10.0));
CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks *keyCallBacks,
                                                 const CFDictionaryValueCallBacks *valueCallBacks) API_AVAILABLE(macos(10.0));
CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) API_AVAILABLE(macos(10.0));
const void *CFDictionaryGetValue(CFDictionaryRef theDict, const void *key) API_AVAILABLE(macos(10.0));
void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void **keys, const void **values) API_AVAILABLE(macos(10.0));
void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void *key, const void *value) API_AVAILABLE(macos(10.0));
