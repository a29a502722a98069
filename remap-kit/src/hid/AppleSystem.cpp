// SPDX-License-Identifier: Apache-2.0
// The HID event system on macOS: IOKit's event system client, with the
// property values converted between Core Foundation and the value model.
#if defined(__APPLE__)
#include "HIDSystem.hpp"

#include "FnRemapKit/KeyMappingStore.hpp"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/hidsystem/IOHIDEventSystemClient.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace FnRemapKit::HID {
namespace {

/// Owns one Core Foundation reference and releases it, on every path.
template <typename Ref> class CFOwned {
public:
  explicit CFOwned(Ref ref = nullptr) noexcept : ref(ref) {}
  CFOwned(CFOwned &&other) noexcept : ref(std::exchange(other.ref, nullptr)) {}
  CFOwned &operator=(CFOwned &&other) noexcept {
    std::swap(ref, other.ref);
    return *this;
  }
  ~CFOwned() {
    if (ref)
      CFRelease(ref);
  }
  Ref get() const noexcept { return ref; }
  Ref release() noexcept { return std::exchange(ref, nullptr); }
  explicit operator bool() const noexcept { return ref != nullptr; }

private:
  Ref ref;
};

CFOwned<CFStringRef> makeString(std::string_view text) {
  return CFOwned<CFStringRef>(CFStringCreateWithBytes(
      kCFAllocatorDefault, reinterpret_cast<const UInt8 *>(text.data()),
      static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false));
}

/// \p value, with \p object kept to be written back in its place.
Value withNative(Value value, CFTypeRef object) {
  value.native = std::shared_ptr<const void>(CFRetain(object), CFRelease);
  return value;
}

/// The model's form of \p object. A number keeps its object, so that
/// written back it has the width and kind it had (SInt32, Float32, ...), and
/// so does what the model has no case for (a date, a string with no UTF-8
/// form): another tool's entry goes back as it came. Throws
/// KeyMappingError::unsupportedShape for nesting past maximumDepth.
Value valueOf(CFTypeRef object, std::size_t depth) {
  if (depth > maximumDepth)
    throw KeyMappingError::unsupportedShape;
  const CFTypeID type = CFGetTypeID(object);
  if (type == CFNullGetTypeID())
    return Value{Null{}};
  if (type == CFBooleanGetTypeID())
    return Value{CFBooleanGetValue(static_cast<CFBooleanRef>(object)) != 0};
  if (type == CFNumberGetTypeID()) {
    const auto number = static_cast<CFNumberRef>(object);
    if (CFNumberIsFloatType(number)) {
      double real = 0;
      CFNumberGetValue(number, kCFNumberFloat64Type, &real);
      return withNative(Value{real}, object);
    }
    // An integer beyond 64 bits (2^64 - 1 in a property list, say) says it
    // is 64 bits wide and converts without a word to its low 64 bits (-1):
    // only made a number again does it show that it was not. The model has
    // no case for it, so its entry is carried whole, and written back as
    // the number it is.
    std::int64_t integer = 0;
    CFNumberGetValue(number, kCFNumberSInt64Type, &integer);
    const CFOwned<CFNumberRef> again(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &integer));
    if (!again)
      throw std::bad_alloc();
    if (CFNumberCompare(number, again.get(), nullptr) != kCFCompareEqualTo)
      return withNative(Value{Other{}}, object);
    return withNative(Value{integer}, object);
  }
  if (type == CFStringGetTypeID()) {
    const auto string = static_cast<CFStringRef>(object);
    const CFRange all = CFRangeMake(0, CFStringGetLength(string));
    CFIndex size = 0;
    if (CFStringGetBytes(string, all, kCFStringEncodingUTF8, 0, false, nullptr, 0, &size) !=
        all.length)
      return withNative(Value{Other{}}, object); // an unpaired surrogate
    std::string text(static_cast<std::size_t>(size), '\0');
    CFStringGetBytes(string, all, kCFStringEncodingUTF8, 0, false,
                     reinterpret_cast<UInt8 *>(text.data()), size, nullptr);
    return Value{std::move(text)};
  }
  if (type == CFDataGetTypeID()) {
    const auto data = static_cast<CFDataRef>(object);
    const UInt8 *bytes = CFDataGetBytePtr(data);
    return Value{Data(bytes, bytes + CFDataGetLength(data))};
  }
  if (type == CFArrayGetTypeID()) {
    const auto array = static_cast<CFArrayRef>(object);
    Array elements;
    elements.reserve(static_cast<std::size_t>(CFArrayGetCount(array)));
    for (CFIndex i = 0; i < CFArrayGetCount(array); ++i)
      elements.push_back(valueOf(CFArrayGetValueAtIndex(array, i), depth + 1));
    return Value{std::move(elements)};
  }
  if (type == CFDictionaryGetTypeID()) {
    const auto dictionary = static_cast<CFDictionaryRef>(object);
    const auto count = static_cast<std::size_t>(CFDictionaryGetCount(dictionary));
    std::vector<const void *> keys(count), values(count);
    CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
    Dictionary entries;
    entries.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
      entries.push_back({valueOf(keys[i], depth + 1), valueOf(values[i], depth + 1)});
    return Value{std::move(entries)};
  }
  return withNative(Value{Other{}}, object);
}

/// The Core Foundation form of \p value: the object it was read from, when
/// it keeps one; null when there is none to make (an Other with no object)
/// or it cannot be made.
CFOwned<CFTypeRef> objectOf(const Value &value) {
  if (value.native)
    return CFOwned<CFTypeRef>(CFRetain(value.native.get()));
  return std::visit(
      [](const auto &v) -> CFOwned<CFTypeRef> {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, Null>) {
          return CFOwned<CFTypeRef>(CFRetain(kCFNull));
        } else if constexpr (std::is_same_v<T, bool>) {
          return CFOwned<CFTypeRef>(CFRetain(v ? kCFBooleanTrue : kCFBooleanFalse));
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return CFOwned<CFTypeRef>(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &v));
        } else if constexpr (std::is_same_v<T, double>) {
          return CFOwned<CFTypeRef>(CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &v));
        } else if constexpr (std::is_same_v<T, std::string>) {
          return CFOwned<CFTypeRef>(makeString(v).release());
        } else if constexpr (std::is_same_v<T, Data>) {
          return CFOwned<CFTypeRef>(
              CFDataCreate(kCFAllocatorDefault, v.data(), static_cast<CFIndex>(v.size())));
        } else if constexpr (std::is_same_v<T, Array>) {
          CFOwned<CFMutableArrayRef> array(CFArrayCreateMutable(
              kCFAllocatorDefault, static_cast<CFIndex>(v.size()), &kCFTypeArrayCallBacks));
          if (!array)
            return CFOwned<CFTypeRef>();
          for (const auto &element : v) {
            const auto object = objectOf(element);
            if (!object)
              return CFOwned<CFTypeRef>();
            CFArrayAppendValue(array.get(), object.get()); // the array retains it
          }
          return CFOwned<CFTypeRef>(array.release());
        } else if constexpr (std::is_same_v<T, Dictionary>) {
          CFOwned<CFMutableDictionaryRef> dictionary(CFDictionaryCreateMutable(
              kCFAllocatorDefault, static_cast<CFIndex>(v.size()), &kCFTypeDictionaryKeyCallBacks,
              &kCFTypeDictionaryValueCallBacks));
          if (!dictionary)
            return CFOwned<CFTypeRef>();
          for (const auto &[key, element] : v) {
            const auto keyObject = objectOf(key);
            const auto object = objectOf(element);
            if (!keyObject || !object)
              return CFOwned<CFTypeRef>();
            CFDictionarySetValue(dictionary.get(), keyObject.get(), object.get());
          }
          return CFOwned<CFTypeRef>(dictionary.release());
        } else {
          return CFOwned<CFTypeRef>(); // Other has no form to make
        }
      },
      value.kind);
}

} // namespace

struct Client::Impl {
  CFOwned<IOHIDEventSystemClientRef> client;
};

Client::Client(std::unique_ptr<Impl> impl) : impl(std::move(impl)) {}
Client::Client(Client &&) noexcept = default;
Client &Client::operator=(Client &&) noexcept = default;
Client::~Client() = default;

Client Client::createSimple() {
  auto impl = std::make_unique<Impl>();
  impl->client = CFOwned<IOHIDEventSystemClientRef>(
      IOHIDEventSystemClientCreateSimpleClient(kCFAllocatorDefault));
  if (!impl->client)
    throw std::runtime_error("cannot create a HID event system client");
  return Client(std::move(impl));
}

std::optional<Value> Client::copyProperty(std::string_view key) const {
  const auto name = makeString(key);
  if (!name)
    throw std::runtime_error("cannot make the property name " + std::string(key));
  const CFOwned<CFTypeRef> property(
      IOHIDEventSystemClientCopyProperty(impl->client.get(), name.get()));
  if (!property)
    return std::nullopt;
  return valueOf(property.get(), 0);
}

bool Client::setProperty(std::string_view key, const Value &value) const noexcept {
  try {
    const auto name = makeString(key);
    const auto property = objectOf(value);
    return name && property &&
           IOHIDEventSystemClientSetProperty(impl->client.get(), name.get(), property.get()) != 0;
  } catch (...) {
    return false; // no memory for the conversion
  }
}

// The one folder every user may create files in; a build of these sources
// on Linux (tests/apple-fakes) names one for each test's key mapping.
#if defined(FNREMAPKIT_SHARED_FOLDER)
static std::string sharedFolder() { return FNREMAPKIT_SHARED_FOLDER; }
#else
static std::string sharedFolder() { return "/Users/Shared"; }
#endif

// The key mapping is one for the whole machine, so its writers share one
// lock file, in the shared folder. Another user may have made it, or put a
// link to a file of ours in its place: it is never written, and its mode is
// set only by the call that created it. It is opened read-only, which is
// all flock needs, without following a symbolic link, and only if it is a
// regular file with no other name.
std::string lockFilePath() { return sharedFolder() + "/.FnRemapKit.UserKeyMapping.lock"; }

FileDescriptor openLockFile() {
  const std::string where = lockFilePath();
  const auto refused = [&](std::string why) { return std::runtime_error(where + why); };
  // O_NONBLOCK: a FIFO planted there must not hang the open; it is refused below.
  constexpr int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  FileDescriptor file(::open(where.c_str(), flags | O_CREAT | O_EXCL, 0644));
  // Under a umask that keeps others out, it would lock them out.
  if (file)
    ::fchmod(file.get(), 0644);
  else if (errno == EEXIST)
    file = FileDescriptor(::open(where.c_str(), flags));
  if (!file)
    throw refused(errno == ELOOP ? " is a symbolic link" : std::string(": ") + std::strerror(errno));
  struct stat info {};
  if (::fstat(file.get(), &info) != 0)
    throw refused(std::string(": ") + std::strerror(errno));
  if (!S_ISREG(info.st_mode))
    throw refused(" is not a regular file");
  if (info.st_nlink != 1)
    throw refused(" has more than one name");
  return file;
}

// The ledger is each user's own, in the same folder as the lock: the folder
// is the system's and sticky, so no user can remove or replace another's
// file, and each reads and writes only the file named for them.
static std::string ledgerFileName() { return ".FnRemapKit.holders." + std::to_string(::geteuid()); }

LedgerPlace openLedgerPlace(bool) {
  const std::string shared = sharedFolder();
  FileDescriptor folder(::open(shared.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder)
    throw std::runtime_error(shared + ": " + std::strerror(errno));
  struct stat info {};
  if (::fstat(folder.get(), &info) != 0)
    throw std::runtime_error(shared + ": " + std::strerror(errno));
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) && !(info.st_mode & S_ISVTX))
    throw std::runtime_error(shared + " is writable by others and not sticky");
  return {std::move(folder), ledgerFileName()};
}

std::string ledgerPath() { return sharedFolder() + "/" + ledgerFileName(); }

bool listOutlivesRestart() noexcept { return false; }

} // namespace FnRemapKit::HID
#endif
