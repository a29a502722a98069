// SPDX-License-Identifier: Apache-2.0
// Keyboards appearing on macOS: IOKit's first-match notifications for HID
// devices with the keyboard's usage, delivered on a private queue, which
// turns each burst into a byte on a pipe that the session's monitor polls.
#if defined(__APPLE__)
#include "KeyboardWatch.hpp"

#include "../support/Pipe.hpp"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/hid/IOHIDKeys.h>
#include <dispatch/dispatch.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace FnRemapKit::HID {

struct KeyboardWatch::Impl {
  FileDescriptor read, write;
  dispatch_queue_t queue = nullptr;
  IONotificationPortRef port = nullptr;
  io_iterator_t iterator = 0;

  ~Impl() {
    if (queue) {
      // On the queue, so that no notification runs while the port goes.
      dispatch_sync_f(queue, this, [](void *self) { static_cast<Impl *>(self)->close(); });
      dispatch_release(queue);
    }
  }
  void close() noexcept {
    if (iterator)
      IOObjectRelease(iterator);
    if (port)
      IONotificationPortDestroy(port);
    iterator = 0;
    port = nullptr;
  }

  // The iterator must be emptied for the next notification to come.
  static std::size_t empty(io_iterator_t iterator) noexcept {
    std::size_t count = 0;
    while (const io_object_t service = IOIteratorNext(iterator)) {
      IOObjectRelease(service);
      ++count;
    }
    return count;
  }

  // On the queue, which nothing thrown may leave.
  static void appeared(void *self, io_iterator_t iterator) noexcept {
    if (empty(iterator) > 0)
      (void)!::write(static_cast<Impl *>(self)->write.get(), "", 1); // a full pipe has said it already
  }
};

namespace {

CFMutableDictionaryRef keyboards() {
  CFMutableDictionaryRef matching = IOServiceMatching(kIOHIDDeviceKey);
  if (!matching)
    return nullptr;
  const auto put = [&](std::string_view key, std::int64_t number) {
    CFStringRef name = CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8 *>(key.data()),
                                               static_cast<CFIndex>(key.size()), kCFStringEncodingUTF8, false);
    CFNumberRef value = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &number);
    if (name && value)
      CFDictionarySetValue(matching, name, value);
    if (name)
      CFRelease(name);
    if (value)
      CFRelease(value);
  };
  put(kIOHIDPrimaryUsagePageKey, 1); // generic desktop
  put(kIOHIDPrimaryUsageKey, 6);     // keyboard
  return matching;
}

} // namespace

KeyboardWatch::KeyboardWatch(std::unique_ptr<Impl> impl) noexcept : impl(std::move(impl)) {}
KeyboardWatch::~KeyboardWatch() = default;

std::unique_ptr<KeyboardWatch> KeyboardWatch::open() noexcept {
  try {
    auto impl = std::make_unique<Impl>();
    if (openPipe(impl->read, impl->write) != 0)
      return nullptr;
    for (const auto *end : {&impl->read, &impl->write})
      ::fcntl(end->get(), F_SETFL, O_NONBLOCK);
    impl->queue = dispatch_queue_create("FnRemapKit.keyboards", DISPATCH_QUEUE_SERIAL);
    // The default main port by value: its name, kIOMainPortDefault, exists
    // from macOS 12 on, and on macOS 11 is a null address to read through.
    impl->port = IONotificationPortCreate(MACH_PORT_NULL);
    CFMutableDictionaryRef matching = keyboards();
    if (!impl->queue || !impl->port || !matching) {
      if (matching)
        CFRelease(matching);
      return nullptr;
    }
    IONotificationPortSetDispatchQueue(impl->port, impl->queue);
    Impl *self = impl.get();
    struct Arming {
      Impl *self;
      CFMutableDictionaryRef matching;
      kern_return_t result;
    } arming{self, matching, -1};
    // Armed on the queue, where every notification runs; the keyboards
    // there already are not appearances.
    dispatch_sync_f(impl->queue, &arming, [](void *context) {
      auto &arm = *static_cast<Arming *>(context);
      arm.result = IOServiceAddMatchingNotification(arm.self->port, kIOFirstMatchNotification, arm.matching,
                                                    &Impl::appeared, arm.self, &arm.self->iterator);
      if (arm.result == KERN_SUCCESS)
        Impl::empty(arm.self->iterator);
    });
    if (arming.result != KERN_SUCCESS)
      return nullptr;
    return std::make_unique<KeyboardWatch>(std::move(impl));
  } catch (...) {
    return nullptr;
  }
}

int KeyboardWatch::descriptor() const noexcept { return impl->read.get(); }

void KeyboardWatch::drain() noexcept {
  char bytes[64];
  while (::read(impl->read.get(), bytes, sizeof bytes) > 0) {
  }
}

} // namespace FnRemapKit::HID
#endif
