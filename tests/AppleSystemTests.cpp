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

using namespace FnRemapKit;
using namespace FnRemapKit::HID;

namespace {

using TestSupport::CFHeld;

CFTypeRef fromXML(const char *body) {
  const std::string text = std::string("<plist>") + body + "</plist>";
  const CFHeld data(CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8 *>(text.data()),
                                 static_cast<CFIndex>(text.size())));
  return CFPropertyListCreateWithData(kCFAllocatorDefault, static_cast<CFDataRef>(data.get()), 0, nullptr, nullptr);
}

// Sets and copies the key mapping property through the system's own calls,
// as another tool would.
using CoreFoundationStoreTest = TestSupport::KeyMappingTest;

// Every number type as another tool may write it: read as the model's
// integer or real, and written back as the very number it was, of its kind
// and width. Past 64 bits Core Foundation gives the low 64 bits as exact
// (2^64 - 1 as -1): the model has no case for such a number, and its entry
// is carried whole rather than written back changed.
TEST_F(CoreFoundationStoreTest, NumbersGoBackAsTheyCameEvenPast64Bits) {
  const auto number = [](CFNumberType type, auto value) { return CFNumberCreate(kCFAllocatorDefault, type, &value); };
  const struct {
    CFTypeRef made;
    Value read;
  } rows[] = {
      {number(kCFNumberSInt8Type, std::int8_t{-5}), Value{std::int64_t{-5}}},
      {number(kCFNumberSInt16Type, std::int16_t{-300}), Value{std::int64_t{-300}}},
      {number(kCFNumberSInt32Type, std::int32_t{-70000}), Value{std::int64_t{-70000}}},
      {number(kCFNumberSInt64Type, std::int64_t{1} << 40), Value{std::int64_t{1} << 40}},
      {number(kCFNumberSInt64Type, std::int64_t{7}), Value{std::int64_t{7}}},
      {number(kCFNumberLongLongType, static_cast<long long>(INT64_MAX)), Value{std::int64_t{INT64_MAX}}},
      {number(kCFNumberCFIndexType, CFIndex{INT64_MIN}), Value{std::int64_t{INT64_MIN}}},
      {number(kCFNumberCharType, 'a'), Value{std::int64_t{'a'}}},
      {number(kCFNumberFloat32Type, 1.5f), Value{1.5}},
      {number(kCFNumberFloat64Type, 0.1), Value{0.1}},
      {fromXML("<integer>-9223372036854775808</integer>"), Value{std::int64_t{INT64_MIN}}},
      {fromXML("<integer>18446744073709551615</integer>"), Value{Other{}}},
      {fromXML("<integer>9223372036854775808</integer>"), Value{Other{}}},
  };
  const TestSupport::KeyMappingProperty property;
  const auto client = Client::createSimple();
  for (const auto &row : rows) {
    const CFHeld made(row.made);
    ASSERT_TRUE(made && property.set(made.get()));
    const CFHeld held = property.copy(); // as the system keeps it (the fake: as a property list does)
    const auto read = client.copyProperty(userKeyMappingProperty);
    ASSERT_EQ(read, std::optional(row.read));
    ASSERT_TRUE(client.setProperty(userKeyMappingProperty, *read));
    const CFHeld back = property.copy();
    EXPECT_TRUE(CFEqual(made.get(), back.get()));
    // Of the same kind and width, which its type names together.
    EXPECT_EQ(CFNumberGetType(static_cast<CFNumberRef>(back.get())), CFNumberGetType(static_cast<CFNumberRef>(held.get())));
  }
  // Through the store: the entry that holds one is another tool's, kept
  // whole with what else it holds, of every kind a property list has.
  const CFHeld list(fromXML("<array><dict><key>a</key><integer>18446744073709551615</integer><key>b</key><true/>"
                           "<key>c</key><false/><key>d</key><data>AAH/</data><key>e</key><date>2026-12-08T12:00:00Z</date>"
                           "<key>f</key><array><string>\u00e9</string><dict/></array></dict></array>"));
  ASSERT_TRUE(list && property.set(list.get()));
  const auto carried = store.read();
  ASSERT_TRUE(carried && carried->size() == 1 && !(*carried)[0].entry());
  ASSERT_TRUE(store.write(*carried));
  EXPECT_TRUE(CFEqual(list.get(), property.copy().get()));
}

// A value nested deeper than the model reads is refused whole; a write the
// system refuses, or of a value it cannot hold, fails and changes nothing.
// Each failure leaves nothing made unreleased. (What is no list of entries
// is refused by the shape, which both systems share and its own tests
// check; a key that is not a string cannot be put in a property list.)
TEST_F(CoreFoundationStoreTest, RefusesWhatIsTooDeepAndSaysWhenAWriteIsRefused) {
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
