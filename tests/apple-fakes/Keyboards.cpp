// SPDX-License-Identifier: Apache-2.0
// IOKit's matching notifications for the apple-on-linux build: a HID device
// is a file created in keyboards/ of the folder that TARNWICK_HID_STATE_DIR
// names, as on the stand-in, and every one is a keyboard (usage page 1,
// usage 6). A watch on that folder (it must exist when the notification is
// added) hands each burst to the port's dispatch queue, where the callback
// runs with the new devices in its iterator; a matching dictionary that asks
// for anything else is armed and never called. Destroying the port ends the
// watch before it returns, and a burst already queued then calls nothing.
// Every object handed out is counted until released, for the tests to find
// one left (appleFakeIOObjects).
#include <IOKit/IOKitLib.h>
#include <IOKit/hid/IOHIDKeys.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

const mach_port_t kIOMainPortDefault = 0;

namespace {

std::atomic<io_object_t> lastObject{0};

struct Notification {
  IOServiceMatchingCallback callback = nullptr;
  void *context = nullptr;
  io_iterator_t iterator = 0;
  bool keyboards = false;
  bool destroyed = false; // set, read and used on the port's queue only
  std::size_t matched = 0; // not yet taken from the iterator
};

std::mutex lock;
std::map<io_iterator_t, std::shared_ptr<Notification>> iterators;
std::set<io_object_t> live;

// A value of the matching dictionary, or null.
CFTypeRef valueOf(CFDictionaryRef matching, const char *key) {
  CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8);
  const void *value = CFDictionaryGetValue(matching, name);
  CFRelease(name);
  return value;
}

// A value of the matching dictionary, as a number; -1 when it is not one.
long long number(CFDictionaryRef matching, const char *key) {
  CFTypeRef value = valueOf(matching, key);
  long long result = -1;
  if (!value || CFGetTypeID(value) != CFNumberGetTypeID() ||
      !CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberLongLongType, &result))
    return -1;
  return result;
}

} // namespace

struct IONotificationPort {
  dispatch_queue_t queue = nullptr;
  std::shared_ptr<Notification> notification;
  int watch = -1, stop = -1;
  std::thread watcher;
};

CFMutableDictionaryRef IOServiceMatching(const char *name) {
  CFMutableDictionaryRef matching = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                              &kCFTypeDictionaryValueCallBacks);
  CFStringRef value = CFStringCreateWithCString(kCFAllocatorDefault, name, kCFStringEncodingUTF8);
  CFStringRef key = CFStringCreateWithCString(kCFAllocatorDefault, "IOProviderClass", kCFStringEncodingUTF8);
  CFDictionarySetValue(matching, key, value);
  CFRelease(key);
  CFRelease(value);
  return matching;
}

IONotificationPortRef IONotificationPortCreate(mach_port_t) { return new IONotificationPort; }

void IONotificationPortSetDispatchQueue(IONotificationPortRef port, dispatch_queue_t queue) {
  dispatch_retain(queue);
  port->queue = queue;
}

kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef port, const io_name_t type,
                                               CFDictionaryRef matching, IOServiceMatchingCallback callback,
                                               void *context, io_iterator_t *iterator) {
  auto notification = std::make_shared<Notification>();
  CFStringRef device = CFStringCreateWithCString(kCFAllocatorDefault, kIOHIDDeviceKey, kCFStringEncodingUTF8);
  CFTypeRef providerClass = valueOf(matching, "IOProviderClass");
  notification->keyboards = providerClass && CFEqual(providerClass, device) &&
                            number(matching, kIOHIDPrimaryUsagePageKey) == 1 &&
                            number(matching, kIOHIDPrimaryUsageKey) == 6;
  CFRelease(device);
  CFRelease(matching); // consumed, whatever comes of it
  const char *state = std::getenv("TARNWICK_HID_STATE_DIR");
  const std::string folder = std::string(state ? state : "") + "/keyboards";
  port->watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  port->stop = ::eventfd(0, EFD_CLOEXEC);
  if (std::strcmp(type, kIOFirstMatchNotification) != 0 || !port->queue || port->notification || port->stop < 0 ||
      port->watch < 0 || ::inotify_add_watch(port->watch, folder.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR) < 0)
    return 1; // kIOReturnError, with the descriptors left for the port's destruction
  notification->callback = callback;
  notification->context = context;
  notification->iterator = *iterator = ++lastObject;
  std::error_code error;
  if (notification->keyboards)
    for (std::filesystem::directory_iterator each(folder, error), end; !error && each != end; each.increment(error))
      ++notification->matched;
  port->notification = notification;
  {
    const std::lock_guard guard(lock);
    iterators[notification->iterator] = notification;
    live.insert(notification->iterator);
  }
  port->watcher = std::thread([port] {
    for (;;) {
      pollfd watched[] = {{port->watch, POLLIN, 0}, {port->stop, POLLIN, 0}};
      if (::poll(watched, 2, -1) < 0 || watched[1].revents)
        return;
      alignas(inotify_event) char events[4096];
      std::size_t appeared = 0;
      for (ssize_t got; (got = ::read(port->watch, events, sizeof events)) > 0;)
        for (char *at = events; at < events + got; at += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(at)->len)
          ++appeared;
      if (!appeared || !port->notification->keyboards)
        continue;
      struct Burst {
        std::shared_ptr<Notification> notification;
        std::size_t appeared;
      };
      dispatch_async_f(port->queue, new Burst{port->notification, appeared}, [](void *context) {
        const std::unique_ptr<Burst> burst(static_cast<Burst *>(context));
        Notification &notification = *burst->notification;
        if (notification.destroyed)
          return;
        {
          const std::lock_guard guard(lock);
          notification.matched += burst->appeared;
        }
        notification.callback(notification.context, notification.iterator);
      });
    }
  });
  return KERN_SUCCESS;
}

io_object_t IOIteratorNext(io_iterator_t iterator) {
  const std::lock_guard guard(lock);
  const auto found = iterators.find(iterator);
  if (found == iterators.end() || found->second->matched == 0)
    return 0;
  --found->second->matched;
  return *live.insert(++lastObject).first;
}

kern_return_t IOObjectRelease(io_object_t object) {
  const std::lock_guard guard(lock);
  iterators.erase(object);
  live.erase(object);
  return KERN_SUCCESS;
}

extern "C" unsigned long appleFakeIOObjects(void) {
  const std::lock_guard guard(lock);
  return live.size();
}

void IONotificationPortDestroy(IONotificationPortRef port) {
  if (port->watcher.joinable()) {
    (void)!::write(port->stop, "\1\0\0\0\0\0\0\0", 8);
    port->watcher.join();
  }
  if (port->notification)
    port->notification->destroyed = true;
  for (const int fd : {port->watch, port->stop})
    if (fd >= 0)
      ::close(fd);
  if (port->queue)
    dispatch_release(port->queue);
  delete port;
}
