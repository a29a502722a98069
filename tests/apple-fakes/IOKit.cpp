// SPDX-License-Identifier: Apache-2.0
// IOKit for the apple-on-linux build, kept in the folder that
// TARNWICK_HID_STATE_DIR names (the stand-in's variable, so that the tests
// set up both alike), which also holds the folder that stands for
// /Users/Shared.
//
// The HID event system client keeps each property as a binary property list
// there, NAME.plist. While NAME.refused exists there, every write of NAME
// fails, as one the system refuses. A client is a CFString of the folder's
// path, so that CFRelease ends it as it ends the real one.
//
// Matching notifications: a HID device is a file created in keyboards/ of the
// folder, as on the stand-in, and every one is a keyboard (usage page 1,
// usage 6). A watch on that folder (it must exist when the notification is
// added) looks every 20 ms and hands the devices that appeared since to the
// port's dispatch queue, where the callback runs with them in its iterator;
// a matching dictionary that asks for anything else is armed and never
// called. Destroying the port ends the watch before it returns, and once
// the iterator is released a call already queued calls nothing.
// Every object handed out is counted until released, for the tests to find
// one left (appleFakeIOObjects).
#include <IOKit/IOKitLib.h>
#include <IOKit/hid/IOHIDKeys.h>
#include <IOKit/hidsystem/IOHIDEventSystemClient.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::string folder() {
  const char *named = std::getenv("TARNWICK_HID_STATE_DIR");
  return named ? named : "";
}

std::string text(CFTypeRef string) {
  char bytes[4096];
  return CFStringGetCString(static_cast<CFStringRef>(string), bytes, sizeof bytes, kCFStringEncodingUTF8) ? bytes : "";
}

std::string file(IOHIDEventSystemClientRef client, CFStringRef key, const char *suffix) {
  return text(client) + "/" + text(key) + suffix;
}

// The property list that \p bytes encode, as XML or binary; null for none.
CFPropertyListRef propertyList(const std::string &bytes, CFOptionFlags options = kCFPropertyListImmutable) {
  CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<const UInt8 *>(bytes.data()), static_cast<CFIndex>(bytes.size()));
  CFPropertyListRef list = CFPropertyListCreateWithData(nullptr, data, options, nullptr, nullptr);
  CFRelease(data);
  return list;
}

std::recursive_mutex lock;
io_object_t lastObject = 0;
// Every object handed out and not yet released, with the devices not yet
// taken from it (an iterator's).
std::map<io_object_t, std::ptrdiff_t> live;

io_object_t handOut(std::ptrdiff_t matched) {
  const std::lock_guard guard(lock);
  live[++lastObject] = matched;
  return lastObject;
}

} // namespace

IOHIDEventSystemClientRef IOHIDEventSystemClientCreateSimpleClient(CFAllocatorRef) {
  const std::string path = folder();
  return path.empty() ? nullptr
                      : reinterpret_cast<IOHIDEventSystemClientRef>(const_cast<__CFString *>(
                            CFStringCreateWithCString(nullptr, path.c_str(), kCFStringEncodingUTF8)));
}

CFTypeRef IOHIDEventSystemClientCopyProperty(IOHIDEventSystemClientRef client, CFStringRef key) {
  std::ifstream in(file(client, key, ".plist"), std::ios::binary);
  return propertyList({std::istreambuf_iterator<char>(in), {}});
}

// Written beside and renamed over, as the stand-in writes.
Boolean IOHIDEventSystemClientSetProperty(IOHIDEventSystemClientRef client, CFStringRef key, CFTypeRef property) {
  const std::string path = file(client, key, ".plist"), partial = path + ".partial";
  CFDataRef data = ::access(file(client, key, ".refused").c_str(), F_OK) == 0
                       ? nullptr
                       : CFPropertyListCreateData(nullptr, property, kCFPropertyListBinaryFormat_v1_0, 0, nullptr);
  if (!data)
    return false;
  ::mkdir(text(client).c_str(), 0700);
  std::ofstream(partial, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char *>(CFDataGetBytePtr(data)), CFDataGetLength(data));
  CFRelease(data);
  return std::rename(partial.c_str(), path.c_str()) == 0;
}

// Made when first asked for, sticky and open to all as /Users/Shared is.
extern "C" const char *appleFakeSharedFolder(void) {
  thread_local std::string shared;
  const std::string state = folder();
  shared = state.empty() ? "/Users/Shared" : state + "/Shared";
  if (!state.empty() && (::mkdir(state.c_str(), 0700), ::mkdir(shared.c_str(), 01777)) == 0)
    ::chmod(shared.c_str(), 01777);
  return shared.c_str();
}

struct IONotificationPort {
  dispatch_queue_t queue = nullptr;
  io_iterator_t iterator = 0;
  std::jthread watcher;
};

// (The class's name is no text that XML would escape.)
CFMutableDictionaryRef IOServiceMatching(const char *name) {
  return static_cast<CFMutableDictionaryRef>(const_cast<void *>(propertyList(
      std::string("<plist><dict><key>IOProviderClass</key><string>") + name + "</string></dict></plist>",
      kCFPropertyListMutableContainers)));
}

IONotificationPortRef IONotificationPortCreate(mach_port_t) { return new IONotificationPort; }

// Not retained: the sources keep the queue until the port is destroyed.
void IONotificationPortSetDispatchQueue(IONotificationPortRef port, dispatch_queue_t queue) { port->queue = queue; }

// Until the port's destruction stops it.
static void watchDevices(std::stop_token stop, IONotificationPortRef port, std::string devices, std::ptrdiff_t seen,
                         IOServiceMatchingCallback callback, void *context) {
  for (std::error_code error; !stop.stop_requested(); std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
    const auto now = std::distance(std::filesystem::directory_iterator(devices, error), {});
    const io_iterator_t iterator = port->iterator;
    if (now > seen)
      dispatch_async(port->queue, ^{
        const std::lock_guard guard(lock); // which the callback takes again for its devices
        const auto found = live.find(iterator);
        if (found == live.end())
          return;
        found->second += now - seen;
        callback(context, iterator);
      });
    seen = now;
  }
}

kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef port, const io_name_t type,
                                               CFDictionaryRef matching, IOServiceMatchingCallback callback,
                                               void *context, io_iterator_t *iterator) {
  // Whether it asks for exactly the HID devices whose primary usage is the
  // keyboard's (generic desktop, keyboard).
  CFPropertyListRef asked = propertyList("<plist><dict><key>IOProviderClass</key><string>" kIOHIDDeviceKey
                                         "</string><key>" kIOHIDPrimaryUsagePageKey "</key><integer>1</integer><key>"
                                         kIOHIDPrimaryUsageKey "</key><integer>6</integer></dict></plist>");
  const bool keyboards = CFEqual(asked, matching);
  CFRelease(asked);
  CFRelease(matching); // consumed, whatever comes of it
  const std::string devices = folder() + "/keyboards";
  if (std::strcmp(type, kIOFirstMatchNotification) != 0 || !port->queue || port->iterator ||
      !std::filesystem::is_directory(devices))
    return 1; // kIOReturnError
  const auto present = keyboards ? std::distance(std::filesystem::directory_iterator(devices), {}) : 0;
  *iterator = port->iterator = handOut(present);
  if (keyboards)
    port->watcher = std::jthread(watchDevices, port, devices, present, callback, context);
  return KERN_SUCCESS;
}

io_object_t IOIteratorNext(io_iterator_t iterator) {
  const std::lock_guard guard(lock);
  const auto found = live.find(iterator);
  if (found == live.end() || found->second == 0)
    return 0;
  --found->second;
  return handOut(0);
}

kern_return_t IOObjectRelease(io_object_t object) {
  const std::lock_guard guard(lock);
  live.erase(object);
  return KERN_SUCCESS;
}

extern "C" unsigned long appleFakeIOObjects(void) {
  const std::lock_guard guard(lock);
  return live.size();
}

void IONotificationPortDestroy(IONotificationPortRef port) {
  port->watcher = {}; // the watch stopped and joined
  delete port;
}
