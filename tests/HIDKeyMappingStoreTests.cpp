// SPDX-License-Identifier: Apache-2.0
// The store's shape rules over the value model, and the store itself over
// the real file-backed stand-in (or, on a Mac that allows it, the real HID
// event system).
#include "FnRemapKit/FnGuard.hpp"
#include "FnRemapKit/HIDKeyMappingStore.hpp"
#include "FnRemapKit/KeyMappingLock.hpp"
#include "hid/KeyMappingShape.hpp"
#include "support/TestSupport.hpp"

#if !defined(__APPLE__)
#include <sys/inotify.h>
#endif

#include <cmath>
#include <set>

using namespace FnRemapKit;
using namespace FnRemapKit::HID;
using FnRemapMapping::entry;
using TestSupport::KeyMappingTest;

namespace {

const auto ours = entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
Value str(const char *text) { return Value{std::string(text)}; }
Value dict(Value key, Value value) { return Value{Dictionary{{std::move(key), std::move(value)}}}; }
Value list(Value element) { return Value{Array{dict(str("a"), Value{std::int64_t{1}}), std::move(element)}}; }

// An entry whose values are not all integers is carried as a value: equal
// to the same value read again (reals bit for bit, dictionaries in any
// order), to nothing else, and never to an entry of integers. Keys that
// are not strings, and reals beyond what JSON can say, come only from the
// real HID event system.
TEST(KeyMappingShapeTest, CarriesEntriesOfOtherValuesAndRefusesKeysOtherThanStrings) {
  EXPECT_THROW(decodeKeyMappingList(list(dict(Value{Data{}}, Value{1.0}))), KeyMappingError);
  const auto read = [](const Value &value) { return decodeKeyMappingList(list(dict(str("v"), value)))->back(); };
  const double nan = std::nan("");
  const Value ab{Dictionary{{str("a"), Value{0.5}}, {str("b"), Value{Null{}}}}};
  const std::vector<std::pair<Value, Value>> rows = {
      {Value{1.0}, Value{std::int64_t{1}}}, {Value{nan}, Value{-nan}}, {Value{0.0}, Value{-0.0}},
      {Value{true}, Value{false}}, {str(""), Value{Null{}}}, {Value{Array{}}, Value{Dictionary{}}},
      {Value{Array{Value{true}, ab}}, Value{Array{ab, Value{true}}}}, {ab, Value{Dictionary{{str("a"), Value{0.5}}}}}};
  for (const auto &[value, other] : rows) {
    const auto element = read(value);
    ASSERT_NE(element.foreign(), nullptr);
    EXPECT_EQ(element, read(value));
    EXPECT_NE(element, read(other));
    EXPECT_EQ(decodeKeyMappingList(encodeKeyMappingList({element})), KeyMappingList{element});
  }
  EXPECT_EQ(read(ab), read(Value{Dictionary{{str("b"), Value{Null{}}}, {str("a"), Value{0.5}}}}));
}

using HIDKeyMappingStoreTest = KeyMappingTest;

// Every entry as written, the Fn remap's twice (the guard's removal of
// every copy is RemoveOursTests'), and an empty list is no unset property.
TEST_F(HIDKeyMappingStoreTest, RoundTripsEveryEntryAndTheEmptyList) {
  auto wider = ours;
  wider["third"] = 3;
  const KeyMappingList list = {ours, entry(3, 4), {{"only", INT64_MAX}}, {}, wider, ours,
                               {{"a", INT64_MIN}, {"b", -1}}, entry(FnRemapMapping::fnSource, 7)};
  ASSERT_TRUE(store.write(list));
  EXPECT_EQ(store.read(), list);
  ASSERT_TRUE(store.write({}));
  EXPECT_EQ(store.read(), KeyMappingList{});
}

#if !defined(__APPLE__)
// What another writer left is read, what the store writes only its owner
// may change, and the state lives where it is told, else in the runtime
// directory.
TEST_F(HIDKeyMappingStoreTest, ReadsWhatAnotherWriterLeftAndWritesPrivatelyWhereTheStateLives) {
  EXPECT_EQ(store.read(), std::nullopt);
  // The file lives where only its owner can write, so no size is refused:
  // a long list is read whole (bench/list-rules times 200,000 entries).
  put(R"([{"HIDKeyboardModifierMappingSrc": 1095216660483, "HIDKeyboardModifierMappingDst": 30064771182},)" +
           std::string(17 << 20, ' ') + R"({"k": 2.75}, {"k": -9223372036854775808}, {"z": 1, "a": 2}])");
  EXPECT_EQ(store.read(), (KeyMappingList{ours, ForeignKeyMappingEntry(dict(str("k"), Value{2.75})), {{"k", INT64_MIN}},
                                          {{"a", 2}, {"z", 1}}}));
  // Another tool's entry as deep as the reader goes is written back whole.
  put(R"([{"a":)" + std::string(30, '[') + "1" + std::string(30, ']') + "}]");
  const auto deep = store.read();
  ASSERT_TRUE(store.write(deep.value()));
  EXPECT_EQ(store.read(), deep);
  std::filesystem::remove_all(path);
  ASSERT_TRUE(store.write({ours}));
  EXPECT_EQ(contents(), R"([{"HIDKeyboardModifierMappingDst":30064771182,"HIDKeyboardModifierMappingSrc":1095216660483}])" "\n");
  EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms::owner_all);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(path), {}), 1) << "a temporary was left behind";
  // A directory that cannot be created: no list, and writes refused.
  const auto missing = root / "missing" / "state";
  ::setenv("TARNWICK_HID_STATE_DIR", missing.c_str(), 1);
  EXPECT_EQ(store.read(), std::nullopt);
  EXPECT_FALSE(store.write({ours}));
  EXPECT_EQ(KeyMappingLock::acquire().error(),
            "cannot lock the key mapping: state directory " + missing.string() + " cannot be created: No such file or directory");
  // Without TARNWICK_HID_STATE_DIR: a folder of its own in the runtime directory.
  ::unsetenv("TARNWICK_HID_STATE_DIR");
  ::setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
  ASSERT_TRUE(store.write({ours, entry(1, 2)}));
  EXPECT_EQ(FnGuard::removeOurs(ours, store), FnGuardOutcome::removed());
  EXPECT_EQ(TestSupport::readFile(root / "tarnwick-hid/UserKeyMapping.json"),
            "[{\"HIDKeyboardModifierMappingDst\":2,\"HIDKeyboardModifierMappingSrc\":1}]\n");
}

// Every write draws a temporary name of its own, in a forked child too: a
// generator copied into the child would draw its parent's next name.
TEST_F(HIDKeyMappingStoreTest, AForkedWriterDrawsNamesOfItsOwn) {
  ASSERT_TRUE(store.write({})); // the parent has drawn before the fork
  const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(::inotify_add_watch(watch, path.c_str(), IN_CREATE), 0);
  TestSupport::Child child([&] { ::_exit(store.write({ours}) ? 0 : 1); });
  EXPECT_EQ(child.wait(), 0);
  ASSERT_TRUE(store.write({}));
  std::set<std::string> created;
  alignas(inotify_event) char events[4096];
  for (ssize_t at = 0, size = ::read(watch, events, sizeof events); at < size;) {
    const auto *event = reinterpret_cast<const inotify_event *>(events + at);
    created.insert(event->name);
    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
  }
  ::close(watch);
  // A name drawn twice shows once, and inotify folds two like events into one.
  EXPECT_EQ(created.size(), 2u);
}

TEST_F(HIDKeyMappingStoreTest, MalformedFilesAreShapeErrorsAndNeverCrash) {
  for (const std::string &text : std::initializer_list<std::string>{
           "", "[", "[{}]]", "[{\"a\":1},]", "{\"a\":1}", "null", "[null]", "[[]]", "[{\"a\":[{\"b\":1,\"b\":[]}]}]",
           "[{\"a\":1e400}]", "[{\"a\":[-1e999]}]", "[{\"a\":1,\"a\":2}]", "[{\"a\":9223372036854775808}]",
           "[{\"a\":18446744073709551616}]", "[{\"a\":-9223372036854775809}]", "[{\"a\":1}] trailing", "[{\"a\":NaN}]",
           "\xef\xbb\xbf[]x", std::string("[]\0[", 4), std::string(100'000, '[') + std::string(100'000, ']'),
           R"([{"a":)" + std::string(31, '[') + std::string(31, ']') + "}]", "[" + std::string(200'000, '{') + "]"}) {
    put(text);
    EXPECT_THROW(store.read(), KeyMappingError) << text.substr(0, 40);
  }
}

// What another user could have put there or could change under us is
// refused: reads say what and where, writes return false and change nothing.
// The file's own rules are the ledger's too, and HoldsTests' to try in full;
// a state directory others may write to, or that is a file, StopSignalsTests'
// and SessionTests'.
TEST_F(HIDKeyMappingStoreTest, RefusesWhatItCannotTrust) {
  namespace fs = std::filesystem;
  const std::string client = "cannot create a HID event system client: ";
  const std::string directory = client + "state directory " + path.string();
  const std::string unreadable = "cannot read " + file().string() + ": it ";
  const auto elsewhere = root / "elsewhere";
  std::vector<std::pair<std::function<void()>, std::string>> rows = {
      {[&] { ::chmod(file().c_str(), 0602); }, unreadable + "is writable by group or others"},
      {[&] { fs::rename(path, elsewhere); fs::create_directory_symlink(elsewhere, path); },
       directory + " is a symbolic link"},
      {[&] { ::setenv("TARNWICK_HID_STATE_DIR", (file() / "in").c_str(), 1); },
       directory + "/UserKeyMapping.json/in cannot be opened: Not a directory"},
      {[] { ::unsetenv("TARNWICK_HID_STATE_DIR"); ::unsetenv("XDG_RUNTIME_DIR"); },
       client + "no state directory (set TARNWICK_HID_STATE_DIR or XDG_RUNTIME_DIR)"},
  };
  if (::geteuid() == 0)
    rows.push_back({[&] { ::chown(file().c_str(), 65534, 65534); }, unreadable + "is owned by another user"});
  for (const auto &[make, error] : rows) {
    ::setenv("TARNWICK_HID_STATE_DIR", path.c_str(), 1);
    fs::remove_all(path);
    fs::remove_all(elsewhere);
    put("[]");
    make();
    EXPECT_EQ(FnGuard::removeOurs(ours, store).message(), "could not read the current mapping: " + error);
    EXPECT_FALSE(store.write({ours})) << error;
    EXPECT_EQ(contents().find("HID"), std::string::npos) << error;
  }
}
#endif

} // namespace
