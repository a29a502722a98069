// SPDX-License-Identifier: Apache-2.0
// The HID event system client of the apple-on-linux build, and the folder
// that stands for /Users/Shared. Each property is a binary property list in
// the folder that TARNWICK_HID_STATE_DIR names (the stand-in's variable, so
// that the tests set up both alike): NAME.plist. While NAME.refused exists
// there, every write of NAME fails, as one the system refuses. A client is
// a CFString of the folder's path, so that CFRelease ends it as it ends the
// real one.
#include <IOKit/hidsystem/IOHIDEventSystemClient.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string folder() {
  const char *named = std::getenv("TARNWICK_HID_STATE_DIR");
  return named && *named ? named : "";
}

std::string text(CFStringRef string) {
  char bytes[4096];
  return CFStringGetCString(string, bytes, sizeof bytes, kCFStringEncodingUTF8) ? bytes : "";
}

std::string file(IOHIDEventSystemClientRef client, CFStringRef key, const char *suffix) {
  return text(reinterpret_cast<CFStringRef>(client)) + "/" + text(key) + suffix;
}

} // namespace

IOHIDEventSystemClientRef IOHIDEventSystemClientCreateSimpleClient(CFAllocatorRef allocator) {
  const std::string path = folder();
  if (path.empty())
    return nullptr;
  return reinterpret_cast<IOHIDEventSystemClientRef>(
      const_cast<__CFString *>(CFStringCreateWithCString(allocator, path.c_str(), kCFStringEncodingUTF8)));
}

CFTypeRef IOHIDEventSystemClientCopyProperty(IOHIDEventSystemClientRef client, CFStringRef key) {
  std::ifstream in(file(client, key, ".plist"), std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  if (bytes.empty())
    return nullptr;
  CFDataRef data = CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8 *>(bytes.data()),
                                static_cast<CFIndex>(bytes.size()));
  CFTypeRef value = CFPropertyListCreateWithData(kCFAllocatorDefault, data, kCFPropertyListImmutable, nullptr, nullptr);
  CFRelease(data);
  return value;
}

// Written beside and renamed over, as the stand-in writes.
Boolean IOHIDEventSystemClientSetProperty(IOHIDEventSystemClientRef client, CFStringRef key, CFTypeRef property) {
  const std::string path = file(client, key, ".plist");
  if (::access(file(client, key, ".refused").c_str(), F_OK) == 0)
    return false;
  CFDataRef data = CFPropertyListCreateData(kCFAllocatorDefault, property, kCFPropertyListBinaryFormat_v1_0, 0, nullptr);
  if (!data)
    return false;
  ::mkdir(text(reinterpret_cast<CFStringRef>(client)).c_str(), 0700);
  const std::string partial = path + ".partial";
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
