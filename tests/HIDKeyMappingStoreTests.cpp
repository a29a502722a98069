// The store's shape rules over the value model, and the store itself over
// the real file-backed stand-in.
#include "FnRemapKit/FnGuard.hpp"
#include "FnRemapKit/HIDKeyMappingStore.hpp"
#include "hid/KeyMappingShape.hpp"
#include "support/StateDirectory.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <limits>

using namespace FnRemapKit;
using namespace FnRemapKit::HID;
using FnRemapMapping::entry;
using TestSupport::StateDirectory;

namespace {

Value str(std::string s) { return Value{std::move(s)}; }
Value num(std::int64_t n) { return Value{n}; }
Value dict(Dictionary d) { return Value{std::move(d)}; }
Value arr(Array a) { return Value{std::move(a)}; }
const Value fnDict = dict({{str("HIDKeyboardModifierMappingSrc"), num(FnRemapMapping::fnSource)},
                           {str("HIDKeyboardModifierMappingDst"), num(FnRemapMapping::fnDestination)}});

bool refused(const std::optional<Value> &property) {
  try {
    decodeKeyMappingList(property);
    return false;
  } catch (const KeyMappingError &) {
    return true;
  }
}

TEST(KeyMappingShapeTest, RefusesEveryOtherShapeWhole) {
  const Value good = dict({{str("a"), num(1)}});
  const std::vector<Value> bad = {
      fnDict, num(3), str("[]"), Value{Null{}}, Value{true}, Value{Data{1}}, Value{Other{}},
      arr({good, num(1)}),
      arr({str("x"), good}),
      arr({good, arr({})}),
      arr({good, dict({{num(1), num(2)}})}),
      arr({good, dict({{str("a"), str("5")}})}),
      arr({good, dict({{str("a"), arr({})}})}),
      arr({good, dict({{str("a"), Value{Null{}}}})}),
      arr({good, dict({{str("a"), Value{false}}})}),
      arr({good, dict({{str("a"), Value{Data{}}}})}),
      arr({good, dict({{str("a"), num(1)}, {str("a"), num(1)}})}), // would merge two keys
  };
  for (const auto &value : bad)
    EXPECT_TRUE(refused(value));
  EXPECT_EQ(decodeKeyMappingList(std::nullopt), std::nullopt);
  EXPECT_EQ(decodeKeyMappingList(arr({})), KeyMappingList{});
}

TEST(KeyMappingShapeTest, PassesEntriesThroughWhateverTheirKeys) {
  const auto list = decodeKeyMappingList(arr({
      dict({{str("other"), num(-1)}}),
      dict({}),
      fnDict,
      dict({{str("x"), num(1)}, {str("y"), num(INT64_MIN)}, {str("z"), num(INT64_MAX)}}),
  }));
  const KeyMappingList expected = {{{"other", -1}},
                                   {},
                                   entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination),
                                   {{"x", 1}, {"y", INT64_MIN}, {"z", INT64_MAX}}};
  EXPECT_EQ(list, expected);
  EXPECT_EQ(decodeKeyMappingList(encodeKeyMappingList(expected)), expected);
}

TEST(KeyMappingShapeTest, RealsTruncateTowardZeroAndSaturate) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<double, std::int64_t>> rows = {
      {1.9, 1}, {-1.9, -1}, {0.5, 0}, {-0.0, 0}, {std::nan(""), 0},
      {inf, INT64_MAX}, {-inf, INT64_MIN}, {1e300, INT64_MAX}, {-1e300, INT64_MIN},
      {9223372036854775808.0, INT64_MAX}, {-9223372036854775808.0, INT64_MIN},
      {9223372036854774784.0, 9223372036854774784}, {1095216660483.75, 1095216660483},
  };
  for (const auto &[real, expected] : rows) {
    const auto list = decodeKeyMappingList(arr({dict({{str("v"), Value{real}}})}));
    EXPECT_EQ(list->front().at("v"), expected) << real;
  }
}

TEST(HIDKeyMappingStoreTest, RoundTripsThroughTheStandIn) {
  StateDirectory state;
  const HIDKeyMappingStore store;
  EXPECT_EQ(store.read(), std::nullopt);

  const KeyMappingList list = {entry(3, 4), {{"only", 0x7FFFFFFFFFFFFFFF}}, {},
                               entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination),
                               {{"a", INT64_MIN}, {"b", -1}, {"c", 0}}, entry(1, 2)};
  ASSERT_TRUE(store.write(list));
  EXPECT_EQ(store.read(), list);

  struct stat info {};
  ASSERT_EQ(::stat(state.path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  ASSERT_EQ(::stat(state.file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);

  ASSERT_TRUE(store.write({}));
  EXPECT_EQ(store.read(), KeyMappingList{}) << "an empty list is not an unset property";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(state.path), {}), 1)
      << "a temporary file was left behind";
}

TEST(HIDKeyMappingStoreTest, ReadsWhatAnotherWriterLeft) {
  StateDirectory state;
  state.put(R"([{"HIDKeyboardModifierMappingSrc": 1095216660483, "HIDKeyboardModifierMappingDst": 30064771182},
               {"k": 2.75}, {"k": -9223372036854775808}, {"z": 1, "a": 2}])");
  const KeyMappingList expected = {entry(1095216660483, 30064771182), {{"k", 2}},
                                   {{"k", INT64_MIN}}, {{"a", 2}, {"z", 1}}};
  EXPECT_EQ(HIDKeyMappingStore().read(), expected);
}

TEST(HIDKeyMappingStoreTest, MalformedFilesAreShapeErrorsAndNeverCrash) {
  StateDirectory state;
  const std::vector<std::string> texts = {
      "", "[", "[{}]]", "[{\"a\":1},]", "{\"a\":1}", "null", "[null]", "[{\"a\":\"1\"}]",
      "[{\"a\":true}]", "[{\"a\":1,\"a\":2}]", "[{\"a\":9223372036854775808}]",
      "[{\"a\":18446744073709551616}]", "[{\"a\":-9223372036854775809}]",
      "[{\"a\":1}] trailing", "[{\"a\":NaN}]", "\xef\xbb\xbf[]x", std::string("[]\0[", 4),
      std::string(1'000'000, '['), std::string(500'000, '[') + std::string(500'000, ']'),
      "[" + std::string(200'000, '{') + "]",
  };
  for (const auto &text : texts) {
    state.put(text);
    EXPECT_THROW(HIDKeyMappingStore().read(), KeyMappingError) << text.substr(0, 40);
  }
}

TEST(HIDKeyMappingStoreTest, RefusesWhatAnotherUserCouldChange) {
  StateDirectory state;
  const HIDKeyMappingStore store;
  const auto refusedWith = [&](const std::string &why) {
    SCOPED_TRACE(why);
    try {
      store.read();
      ADD_FAILURE() << "read did not throw";
    } catch (const std::runtime_error &error) {
      EXPECT_NE(std::string(error.what()).find(state.path.string()), std::string::npos) << error.what();
    }
    EXPECT_FALSE(store.write({}));
  };

  state.put("[]");
  ::chmod(state.path.c_str(), 0770);
  refusedWith("group-writable directory");
  ::chmod(state.path.c_str(), 0700);
  ::chmod(state.file().c_str(), 0602);
  refusedWith("file writable by others");
  EXPECT_EQ(state.contents(), "[]") << "a refused write changed the file";
  ::chmod(state.file().c_str(), 0600);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(state.file().c_str(), 65534, 65534), 0);
    refusedWith("file of another user");
    ASSERT_EQ(::chown(state.file().c_str(), 0, 0), 0);
  }
  std::filesystem::rename(state.file(), state.root / "elsewhere.json");
  std::filesystem::create_symlink(state.root / "elsewhere.json", state.file());
  refusedWith("file is a symbolic link");
  std::filesystem::remove(state.file());
  std::filesystem::create_directory(state.file());
  refusedWith("file is a directory");

  std::filesystem::rename(state.path, state.root / "real");
  std::filesystem::create_directory_symlink(state.root / "real", state.path);
  try {
    store.read();
    ADD_FAILURE() << "read did not throw";
  } catch (const std::runtime_error &error) {
    EXPECT_STREQ(error.what(), ("cannot create a HID event system client: state directory " +
                                state.path.string() + " is a symbolic link").c_str());
  }
  EXPECT_FALSE(store.write({}));
  EXPECT_EQ(FnGuard::removeOurs(entry(1, 2), store).message(),
            "could not read the current mapping: cannot create a HID event system client: "
            "state directory " + state.path.string() + " is a symbolic link");
}

TEST(HIDKeyMappingStoreTest, WithNoStateDirectoryTheStoreCannotBeReached) {
  const auto saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string runtime = saved ? saved : "";
  ::unsetenv("XDG_RUNTIME_DIR");
  ::unsetenv("TARNWICK_HID_STATE_DIR");
  EXPECT_EQ(FnGuard::removeOurs(entry(1, 2), HIDKeyMappingStore()).message(),
            "could not read the current mapping: cannot create a HID event system client: "
            "no state directory (set TARNWICK_HID_STATE_DIR or XDG_RUNTIME_DIR)");
  EXPECT_FALSE(HIDKeyMappingStore().write({}));
  if (saved)
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
}

TEST(HIDKeyMappingStoreTest, AListOver16MiBIsRemovedFromWhole) {
  StateDirectory state;
  const HIDKeyMappingStore store;
  const auto ours = entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
  KeyMappingList list;
  for (std::int64_t i = 0; i < 20'000; ++i)
    list.push_back({{std::string(900, 'k'), i}});
  const KeyMappingList others = list;
  list.insert(list.begin() + 10'000, ours);
  ASSERT_TRUE(store.write(list));
  ASSERT_GT(std::filesystem::file_size(state.file()), 16u << 20);
  EXPECT_EQ(FnGuard::removeOurs(ours, store), FnGuardOutcome::removed());
  EXPECT_EQ(store.read(), others);
}

TEST(HIDKeyMappingStoreTest, TheGuardRemovesEveryCopyOverTheStandIn) {
  StateDirectory state;
  const HIDKeyMappingStore store;
  const auto ours = entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
  auto wider = ours;
  wider["third"] = 3;
  ASSERT_TRUE(store.write({ours, entry(1, 2), wider, ours, entry(FnRemapMapping::fnSource, 7)}));
  EXPECT_EQ(FnGuard::removeOurs(ours, store), FnGuardOutcome::removed());
  EXPECT_EQ(store.read(), (KeyMappingList{entry(1, 2), wider, entry(FnRemapMapping::fnSource, 7)}));
  EXPECT_EQ(FnGuard::removeOurs(ours, store), FnGuardOutcome::alreadyGone());
}

} // namespace
