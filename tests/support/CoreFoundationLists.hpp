// SPDX-License-Identifier: Apache-2.0
// Lists as the macOS branch's tests put and compare them: JSON made into
// Core Foundation property lists, and the property a test's key mapping is.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/hidsystem/IOHIDEventSystemClient.h>
#include <nlohmann/json.hpp>

#include <cfloat>
#include <cmath>
#include <memory>
#include <type_traits>
#include <vector>

namespace TestSupport {

struct CFReleaser {
  void operator()(CFTypeRef object) const { CFRelease(object); }
};
/// A Core Foundation object made or copied, released on every path.
using CFHeld = std::unique_ptr<const void, CFReleaser>;

/// \p json as a property list, each number of the narrowest type that holds
/// it exactly (SInt32 or SInt64, Float32 or Float64), so that a list written
/// as JSON has numbers of both widths; none for JSON null, which a property
/// list cannot hold.
inline CFHeld propertyListOf(const nlohmann::json &json) {
  const auto narrowest = [](auto wide, auto narrow, CFNumberType wideType, CFNumberType narrowType) {
    return CFHeld(narrow == wide ? CFNumberCreate(nullptr, narrowType, &narrow) : CFNumberCreate(nullptr, wideType, &wide));
  };
  if (json.is_boolean())
    return CFHeld(CFRetain(json.get<bool>() ? kCFBooleanTrue : kCFBooleanFalse));
  if (json.is_number_integer())
    return narrowest(json.get<std::int64_t>(), json.get<std::int32_t>(), kCFNumberSInt64Type, kCFNumberSInt32Type);
  if (json.is_number_float()) // (a double past a float's range converts to no float at all)
    return narrowest(json.get<double>(), std::fabs(json.get<double>()) <= FLT_MAX ? json.get<float>() : 0.0f,
                     kCFNumberFloat64Type, kCFNumberFloat32Type);
  if (json.is_string()) {
    const auto &text = json.get_ref<const std::string &>();
    return CFHeld(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(text.data()),
                                          static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false));
  }
  if (!json.is_array() && !json.is_object())
    return nullptr;
  const auto array = json.is_array() ? CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks) : nullptr;
  const auto dictionary = array ? nullptr
                                : CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                            &kCFTypeDictionaryValueCallBacks);
  CFHeld held(array ? static_cast<CFTypeRef>(array) : dictionary);
  for (const auto &[key, value] : json.items()) {
    const auto object = propertyListOf(value), keyObject = propertyListOf(key);
    if (!object)
      return nullptr;
    array ? CFArrayAppendValue(array, object.get()) : CFDictionarySetValue(dictionary, keyObject.get(), object.get());
  }
  return held;
}

/// Whether \p held is \p put: equal (CFEqual, which takes 1 for 1.0 and a
/// Float32 for a Float64 of its value), and each number of the same kind
/// and, a real, of the same width.
inline bool sameObject(CFTypeRef held, CFTypeRef put) {
  if (!held || !put || !CFEqual(held, put))
    return false;
  const CFTypeID type = CFGetTypeID(put);
  if (const auto a = static_cast<CFNumberRef>(held), b = static_cast<CFNumberRef>(put); type == CFNumberGetTypeID())
    return CFNumberIsFloatType(a) == CFNumberIsFloatType(b) &&
           (!CFNumberIsFloatType(b) || CFNumberGetByteSize(a) == CFNumberGetByteSize(b));
  const auto array = static_cast<CFArrayRef>(put);
  for (CFIndex i = 0; type == CFArrayGetTypeID() && i < CFArrayGetCount(array); ++i)
    if (!sameObject(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(held), i), CFArrayGetValueAtIndex(array, i)))
      return false;
  if (type != CFDictionaryGetTypeID())
    return true;
  const auto dictionary = static_cast<CFDictionaryRef>(put);
  std::vector<const void *> keys(static_cast<std::size_t>(CFDictionaryGetCount(dictionary))), values(keys.size());
  CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
  for (std::size_t i = 0; i < keys.size(); ++i)
    if (!sameObject(CFDictionaryGetValue(static_cast<CFDictionaryRef>(held), keys[i]), values[i]))
      return false;
  return true;
}

/// The key mapping property, through the system's own calls, as another
/// tool reads and writes it.
struct KeyMappingProperty {
  std::unique_ptr<std::remove_pointer_t<IOHIDEventSystemClientRef>, CFReleaser> system{
      IOHIDEventSystemClientCreateSimpleClient(kCFAllocatorDefault)};
  CFHeld name{CFStringCreateWithCString(nullptr, "UserKeyMapping", kCFStringEncodingUTF8)};
  CFHeld copy() const { return CFHeld(IOHIDEventSystemClientCopyProperty(system.get(), key())); }
  bool set(CFTypeRef value) const { return IOHIDEventSystemClientSetProperty(system.get(), key(), value); }
  CFStringRef key() const { return static_cast<CFStringRef>(name.get()); }
};

} // namespace TestSupport
