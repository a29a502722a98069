// The store's shape rules over the value model, and the store itself over
// the real file-backed stand-in (or, on a Mac that allows it, the real HID
// event system).
#include "FnRemapKit/FnGuard.hpp"
#include "FnRemapKit/HIDKeyMappingStore.hpp"
#include "hid/KeyMappingShape.hpp"
#include "support/KeyMappingHome.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace FnRemapKit;
using namespace FnRemapKit::HID;
using FnRemapMapping::entry;
using TestSupport::KeyMappingHome;

namespace {

Value str(std::string s) { return Value{std::move(s)}; }
Value num(std::int64_t n) { return Value{n}; }
Value dict(Dictionary d) { return Value{std::move(d)}; }
Value arr(Array a) { return Value{std::move(a)}; }
const auto ours = entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);

TEST(KeyMappingShapeTest, RefusesEveryOtherShapeWhole) {
  const Value good = dict({{str("a"), num(1)}});
  const std::vector<Value> bad = {
      good, num(3), str("[]"), Value{Null{}}, Value{true}, Value{Data{1}}, Value{Other{}},
      arr({good, num(1)}), arr({str("x"), good}), arr({good, arr({})}),
      arr({good, dict({{num(1), num(2)}})}), arr({good, dict({{str("a"), str("5")}})}),
      arr({good, dict({{str("a"), arr({})}})}), arr({good, dict({{str("a"), Value{Null{}}}})}),
      arr({good, dict({{str("a"), Value{false}}})}), arr({good, dict({{str("a"), Value{Data{}}}})}),
      arr({good, dict({{str("a"), num(1)}, {str("a"), num(1)}})}), // would merge two keys
  };
  for (const auto &value : bad)
    EXPECT_THROW(decodeKeyMappingList(value), KeyMappingError);
  EXPECT_EQ(decodeKeyMappingList(std::nullopt), std::nullopt);
  EXPECT_EQ(decodeKeyMappingList(arr({})), KeyMappingList{});
}

TEST(KeyMappingShapeTest, RealsTruncateTowardZeroAndSaturate) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<double, std::int64_t>> rows = {
      {1.9, 1}, {-1.9, -1}, {0.5, 0}, {-0.0, 0}, {std::nan(""), 0},
      {inf, INT64_MAX}, {-inf, INT64_MIN}, {1e300, INT64_MAX}, {-1e300, INT64_MIN},
      {9223372036854775808.0, INT64_MAX}, {-9223372036854775808.0, INT64_MIN},
      {9223372036854774784.0, 9223372036854774784}, {1095216660483.75, 1095216660483},
  };
  for (const auto &[real, expected] : rows)
    EXPECT_EQ(decodeKeyMappingList(arr({dict({{str("v"), Value{real}}})}))->front().at("v"), expected) << real;
}

class HIDKeyMappingStoreTest : public testing::Test {
protected:
  void SetUp() override {
    if (const auto why = home.unavailable(); !why.empty())
      GTEST_SKIP() << why;
  }
  KeyMappingHome home;
  HIDKeyMappingStore store;
};

TEST_F(HIDKeyMappingStoreTest, RoundTripsAndTheGuardRemovesEveryCopy) {
  auto wider = ours;
  wider["third"] = 3;
  const KeyMappingList list = {ours, entry(3, 4), {{"only", INT64_MAX}}, {}, wider, ours,
                               {{"a", INT64_MIN}, {"b", -1}}, entry(FnRemapMapping::fnSource, 7)};
  ASSERT_TRUE(store.write(list));
  EXPECT_EQ(store.read(), list);
  EXPECT_EQ(FnGuard::removeOurs(ours, store), FnGuardOutcome::removed());
  EXPECT_EQ(store.read(), (KeyMappingList{entry(3, 4), {{"only", INT64_MAX}}, {}, wider, {{"a", INT64_MIN}, {"b", -1}},
                                          entry(FnRemapMapping::fnSource, 7)}));
  ASSERT_TRUE(store.write({}));
  EXPECT_EQ(store.read(), KeyMappingList{}) << "an empty list is not an unset property";
  EXPECT_EQ(FnGuard::removeOurs(ours, store), FnGuardOutcome::alreadyGone());
}

#if !defined(__APPLE__)
TEST_F(HIDKeyMappingStoreTest, ReadsWhatAnotherWriterLeftAndWritesPrivately) {
  EXPECT_EQ(store.read(), std::nullopt);
  home.put(R"([{"HIDKeyboardModifierMappingSrc": 1095216660483, "HIDKeyboardModifierMappingDst": 30064771182},
               {"k": 2.75}, {"k": -9223372036854775808}, {"z": 1, "a": 2}])");
  EXPECT_EQ(store.read(), (KeyMappingList{ours, {{"k", 2}}, {{"k", INT64_MIN}}, {{"a", 2}, {"z", 1}}}));
  std::filesystem::remove_all(home.path);
  ASSERT_TRUE(store.write({ours}));
  EXPECT_EQ(home.contents(), R"([{"HIDKeyboardModifierMappingDst":30064771182,"HIDKeyboardModifierMappingSrc":1095216660483}])" "\n");
  struct stat info {};
  EXPECT_TRUE(::stat(home.path.c_str(), &info) == 0 && (info.st_mode & 07777) == 0700);
  EXPECT_TRUE(::stat(home.file().c_str(), &info) == 0 && (info.st_mode & 07777) == 0600);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home.path), {}), 1) << "a temporary was left behind";
}

TEST_F(HIDKeyMappingStoreTest, MalformedFilesAreShapeErrorsAndNeverCrash) {
  const std::vector<std::string> texts = {
      "", "[", "[{}]]", "[{\"a\":1},]", "{\"a\":1}", "null", "[null]", "[{\"a\":\"1\"}]",
      "[{\"a\":true}]", "[{\"a\":1,\"a\":2}]", "[{\"a\":9223372036854775808}]",
      "[{\"a\":18446744073709551616}]", "[{\"a\":-9223372036854775809}]",
      "[{\"a\":1}] trailing", "[{\"a\":NaN}]", "\xef\xbb\xbf[]x", std::string("[]\0[", 4),
      std::string(1'000'000, '['), "[" + std::string(200'000, '{') + "]",
  };
  for (const auto &text : texts) {
    home.put(text);
    EXPECT_THROW(store.read(), KeyMappingError) << text.substr(0, 40);
  }
}

// The file lives where only its owner can write, so no size is refused: a
// long list is removed from whole (bench/list-rules times 200,000 entries).
TEST_F(HIDKeyMappingStoreTest, AFileOver16MiBIsRead) {
  home.put("[{\"a\":1}," + std::string(17 << 20, ' ') +
           R"({"HIDKeyboardModifierMappingSrc":1095216660483,"HIDKeyboardModifierMappingDst":30064771182}])");
  EXPECT_EQ(FnGuard::removeOurs(ours, store), FnGuardOutcome::removed());
  EXPECT_EQ(store.read(), (KeyMappingList{{{"a", 1}}}));
}

// What another user could have put there or could change under us is
// refused: reads say what and where, writes return false and change nothing.
TEST_F(HIDKeyMappingStoreTest, RefusesWhatItCannotTrust) {
  const std::string client = "cannot create a HID event system client: ";
  const std::string directory = client + "state directory " + home.path.string();
  const std::string file = "cannot read " + home.file().string() + ": it ";
  const auto elsewhere = home.root / "elsewhere";
  namespace fs = std::filesystem;
  std::vector<std::pair<std::function<void()>, std::string>> rows = {
      {[&] { ::chmod(home.path.c_str(), 0770); }, directory + " is writable by group or others"},
      {[&] { ::chmod(home.file().c_str(), 0602); }, file + "is writable by group or others"},
      {[&] { fs::rename(home.file(), elsewhere); fs::create_symlink(elsewhere, home.file()); }, file + "is a symbolic link"},
      {[&] { fs::remove(home.file()); fs::create_directory(home.file()); }, file + "is not a regular file"},
      {[&] { fs::rename(home.path, elsewhere); fs::create_directory_symlink(elsewhere, home.path); },
       directory + " is a symbolic link"},
      {[&] { fs::remove_all(home.path); std::ofstream(home.path) << "[]"; }, directory + " is not a directory"},
      {[] { ::unsetenv("TARNWICK_HID_STATE_DIR"); ::unsetenv("XDG_RUNTIME_DIR"); },
       client + "no state directory (set TARNWICK_HID_STATE_DIR or XDG_RUNTIME_DIR)"},
  };
  if (::geteuid() == 0)
    rows.push_back({[&] { ::chown(home.file().c_str(), 65534, 65534); }, file + "is owned by another user"});
  for (const auto &[make, error] : rows) {
    ::setenv("TARNWICK_HID_STATE_DIR", home.path.c_str(), 1);
    fs::remove_all(home.path);
    fs::remove_all(elsewhere);
    home.put("[]");
    make();
    EXPECT_EQ(FnGuard::removeOurs(ours, store).message(), "could not read the current mapping: " + error);
    EXPECT_FALSE(store.write({ours})) << error;
    EXPECT_EQ(TestSupport::readFile(home.path / "UserKeyMapping.json").find("HID"), std::string::npos) << error;
  }
}

TEST_F(HIDKeyMappingStoreTest, WhereTheStateLives) {
  // A directory that cannot be created: no list, and writes refused.
  ::setenv("TARNWICK_HID_STATE_DIR", (home.root / "missing" / "state").c_str(), 1);
  EXPECT_EQ(store.read(), std::nullopt);
  EXPECT_FALSE(store.write({ours}));
  // Without TARNWICK_HID_STATE_DIR: a folder of its own in the runtime directory.
  ::unsetenv("TARNWICK_HID_STATE_DIR");
  ::setenv("XDG_RUNTIME_DIR", home.root.c_str(), 1);
  ASSERT_TRUE(store.write({ours}));
  EXPECT_NE(TestSupport::readFile(home.root / "tarnwick-hid" / "UserKeyMapping.json").find("1095216660483"),
            std::string::npos);
  // No descriptor outlives a call, whatever its outcome.
  const auto open = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
  const auto before = open();
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(store.write({entry(i, i)}));
    ASSERT_EQ(store.read(), KeyMappingList{entry(i, i)});
    ::setenv("XDG_RUNTIME_DIR", (home.root / "tarnwick-hid" / "UserKeyMapping.json").c_str(), 1);
    EXPECT_FALSE(store.write({}));
    EXPECT_EQ(FnGuard::removeOurs(ours, store).message(),
              "could not read the current mapping: cannot create a HID event system client: state directory " +
                  (home.root / "tarnwick-hid/UserKeyMapping.json/tarnwick-hid").string() + " cannot be opened: Not a directory");
    ::setenv("XDG_RUNTIME_DIR", home.root.c_str(), 1);
  }
  EXPECT_EQ(open(), before);
}
#endif

} // namespace
