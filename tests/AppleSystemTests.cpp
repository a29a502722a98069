// SPDX-License-Identifier: Apache-2.0
// The store's conversion between Core Foundation and the value model, on the
// macOS branch: over the real Core Foundation, and off a Mac over the fake
// HID event system of tests/apple-fakes. LeakSanitizer, which that build
// runs, finds any object made and not released, on the failure paths too.
#if defined(__APPLE__)
#include "FnRemapKit/KeyMappingStore.hpp"
#include "hid/HIDSystem.hpp"
#include "support/TestSupport.hpp"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/hidsystem/IOHIDEventSystemClient.h>

#include <cstring>

using namespace FnRemapKit;
using namespace FnRemapKit::HID;

namespace {

using TestSupport::CFHeld;

CFTypeRef number(CFNumberType type, const void *value) { return CFNumberCreate(kCFAllocatorDefault, type, value); }

CFTypeRef fromXML(const char *body) {
  const std::string text = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">") + body +
                           "</plist>";
  const CFHeld data(CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8 *>(text.data()),
                                 static_cast<CFIndex>(text.size())));
  return CFPropertyListCreateWithData(kCFAllocatorDefault, static_cast<CFDataRef>(data.get()), 0, nullptr, nullptr);
}

/// Sets and copies the key mapping property through the system's own
/// calls, as another tool would.
struct CoreFoundationStoreTest : TestSupport::KeyMappingTest {
  bool set(CFTypeRef value) const { return TestSupport::KeyMappingProperty().set(value); }
  CFHeld get() const { return TestSupport::KeyMappingProperty().copy(); }
};

// Every number type as another tool may write it: read as the model's
// integer or real, and written back as the very number it was, of its kind
// and width. Past 64 bits Core Foundation gives the low 64 bits as exact
// (2^64 - 1 as -1): the model has no case for such a number, and its entry
// is carried whole rather than written back changed.
TEST_F(CoreFoundationStoreTest, NumbersGoBackAsTheyCameEvenPast64Bits) {
  const std::int8_t int8 = -5;
  const std::int16_t int16 = -300;
  const std::int32_t int32 = -70000;
  const std::int64_t int64 = std::int64_t{1} << 40, small64 = 7, min64 = INT64_MIN;
  const float real32 = 1.5f;
  const double real64 = 0.1;
  const char character = 'a';
  const long long longLong = INT64_MAX;
  const struct {
    CFTypeRef made;
    Value read;
  } rows[] = {
      {number(kCFNumberSInt8Type, &int8), Value{std::int64_t{-5}}},
      {number(kCFNumberSInt16Type, &int16), Value{std::int64_t{-300}}},
      {number(kCFNumberSInt32Type, &int32), Value{std::int64_t{-70000}}},
      {number(kCFNumberSInt64Type, &int64), Value{int64}},
      {number(kCFNumberSInt64Type, &small64), Value{small64}},
      {number(kCFNumberLongLongType, &longLong), Value{std::int64_t{INT64_MAX}}},
      {number(kCFNumberCFIndexType, &min64), Value{min64}},
      {number(kCFNumberCharType, &character), Value{std::int64_t{'a'}}},
      {number(kCFNumberFloat32Type, &real32), Value{1.5}},
      {number(kCFNumberFloatType, &real32), Value{1.5}},
      {number(kCFNumberFloat64Type, &real64), Value{0.1}},
      {number(kCFNumberCGFloatType, &real64), Value{0.1}},
      {fromXML("<integer>-9223372036854775808</integer>"), Value{min64}},
      {fromXML("<integer>18446744073709551615</integer>"), Value{Other{}}},
      {fromXML("<integer>9223372036854775808</integer>"), Value{Other{}}},
  };
  const auto client = Client::createSimple();
  for (const auto &row : rows) {
    const CFHeld made(row.made);
    ASSERT_TRUE(made && set(made.get()));
    const CFHeld held = get(); // as the system keeps it (the fake: as a property list does)
    const auto read = client.copyProperty(userKeyMappingProperty);
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, row.read);
    ASSERT_TRUE(client.setProperty(userKeyMappingProperty, *read));
    const CFHeld back = get();
    const auto before = static_cast<CFNumberRef>(held.get()), after = static_cast<CFNumberRef>(back.get());
    EXPECT_TRUE(CFEqual(made.get(), after));
    EXPECT_EQ(CFNumberIsFloatType(after), CFNumberIsFloatType(before));
    EXPECT_EQ(CFNumberGetByteSize(after), CFNumberGetByteSize(before)) << CFNumberGetType(before);
  }
  // Through the store: the entry that holds one is another tool's, kept
  // whole with what else it holds, of every kind a property list has.
  const CFHeld list(fromXML("<array><dict><key>a</key><integer>18446744073709551615</integer><key>b</key><true/>"
                           "<key>c</key><false/><key>d</key><data>AAH/</data><key>e</key><date>2026-12-08T12:00:00Z</date>"
                           "<key>f</key><array><string>\u00e9</string><dict/></array></dict></array>"));
  ASSERT_TRUE(list && set(list.get()));
  const auto carried = store.read();
  ASSERT_TRUE(carried && carried->size() == 1 && !(*carried)[0].entry());
  ASSERT_TRUE(store.write(*carried));
  EXPECT_TRUE(CFEqual(list.get(), get().get()));
}

// What is no list of entries is refused whole; a write the system refuses,
// or of a value it cannot hold, fails and changes nothing. Each failure
// leaves nothing made unreleased.
TEST_F(CoreFoundationStoreTest, RefusesWhatIsNoListAndSaysWhenAWriteIsRefused) {
  // (A key that is not a string cannot be put in a property list; the
  // shape's own tests refuse it.)
  for (const char *shape : {"<dict><key>a</key><integer>1</integer></dict>", "<integer>1</integer>",
                            "<array><integer>1</integer></array>"}) {
    const CFHeld made(fromXML(shape));
    ASSERT_TRUE(made && set(made.get())) << shape;
    EXPECT_THROW(store.read(), KeyMappingError) << shape;
  }
  Value deep{Array{}};
  for (std::size_t depth = 0; depth <= maximumDepth; ++depth)
    deep = Value{Array{std::move(deep)}};
  const auto client = Client::createSimple();
  ASSERT_TRUE(client.setProperty(userKeyMappingProperty, deep));
  EXPECT_THROW(client.copyProperty(userKeyMappingProperty), KeyMappingError) << "deeper than the model reads";

  const KeyMappingList list = {FnRemapMapping::entry(4, 5)};
  ASSERT_TRUE(store.write(list));
  const Value one{std::int64_t{1}}, text{std::string("a")};
  for (const Value &unheld : {Value{Array{one, Value{Other{}}}}, Value{Dictionary{{text, Value{Other{}}}}},
                              Value{Dictionary{{Value{Other{}}, one}}}, Value{Dictionary{{one, one}}}})
    EXPECT_FALSE(client.setProperty(userKeyMappingProperty, unheld));
  std::ofstream(path / "UserKeyMapping.refused");
  EXPECT_FALSE(store.write({}));
  std::filesystem::remove(path / "UserKeyMapping.refused");
  EXPECT_EQ(store.read(), list);
}

} // namespace
#endif
