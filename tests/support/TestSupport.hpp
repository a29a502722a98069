// SPDX-License-Identifier: Apache-2.0
// What the tests share: real processes (children started, watched and
// always reaped, programs run with their output captured, what the system
// shows of them), and where a test's key mapping lives.
//
// Off macOS a test's key mapping lives in a private state directory for the
// stand-in, named in TARNWICK_HID_STATE_DIR for as long as the test runs,
// XDG_RUNTIME_DIR put back as it was after. On macOS it is the real HID event
// system, which the tests change only when FNREMAPKIT_TEST_REAL_HID is 1; the
// user's mapping is saved first and written back when the test ends, whatever
// it did (an unset mapping comes back as an empty one, which the system
// treats alike). The macOS branch built on Linux (tests/apple-fakes) takes
// the state directory for the HID event system's.
#pragma once

#include <FnRemapKit/FnRemapSession.hpp>
#include <FnRemapKit/HIDKeyMappingStore.hpp>
#include <FnRemapKit/KeyMappingLock.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#if defined(__APPLE__)
#include "support/CoreFoundationLists.hpp"
#endif
#include "support/Text.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#if !defined(__APPLE__)
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace TestSupport {

using namespace std::chrono_literals;
using std::this_thread::sleep_for;

/// The file's contents; empty when it cannot be read.
inline std::string readFile(const std::filesystem::path &path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

[[noreturn]] inline void sleepForever() {
  for (;;)
    ::pause();
}

#if !defined(__APPLE__)
/// Makes pidfd_open fail with ENOSYS for this process and all it starts, as
/// an old kernel or a sandbox would; false when no filter can be set.
inline bool refuseProcessDescriptors() {
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}
#endif

/// Whether \p condition comes true within \p limit, asked every 5 ms.
inline bool eventually(const std::function<bool()> &condition, std::chrono::milliseconds limit = 10s) {
  for (const auto end = std::chrono::steady_clock::now() + limit; !condition(); sleep_for(5ms))
    if (std::chrono::steady_clock::now() > end)
      return false;
  return true;
}

/// How child \p pid ended, as a shell shows it (its exit status, or 128 plus
/// the signal that killed it), once it has within \p limit; -1 while it
/// runs. A pid that is not (yet) our child counts as running.
inline int waitFor(pid_t pid, std::chrono::milliseconds limit) {
  int status = 0;
  for (const auto end = std::chrono::steady_clock::now() + limit; ::waitpid(pid, &status, WNOHANG) != pid; sleep_for(2ms))
    if (std::chrono::steady_clock::now() > end)
      return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

/// Blocks until child \p pid has exited and leaves it a zombie, unreaped;
/// false when it is no child of ours.
inline bool awaitZombie(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0;
}

/// True when this process has no child at all, running or not yet reaped.
inline bool noChildren() { return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

/// Matches a call that throws FnRemapSessionError with \p code and the line \p message.
inline auto fails(FnRemapKit::FnRemapSessionError::Code code, const std::string &message) {
  using FnRemapKit::FnRemapSessionError;
  return testing::Throws<FnRemapSessionError>(testing::AllOf(
      testing::Property(&FnRemapSessionError::code, code), testing::Property(&FnRemapSessionError::what, testing::StrEq(message))));
}

/// An executable shell script at \p path that runs \p body; its path.
inline std::string script(const std::filesystem::path &path, const std::string &body) {
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path.string();
}

/// Whether this build runs under AddressSanitizer, which wants descriptors
/// of its own and catches the fault signals itself.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool sanitized = true;
#elif defined(__has_feature)
inline constexpr bool sanitized = __has_feature(address_sanitizer);
#else
inline constexpr bool sanitized = false;
#endif

/// Reaps every child left (guards orphaned to us as their subreaper, say)
/// and says how each ended, as waitFor does.
inline std::vector<int> reapAll() {
  std::vector<int> endings;
  EXPECT_TRUE(eventually([&] {
    int status = 0;
    pid_t pid;
    while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0)
      endings.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return pid < 0 && errno == ECHILD;
  })) << "children still running";
  return endings;
}

/// A forked child running \p body, then _exit(0). Killed and reaped when the
/// owner goes, so no test leaves a process behind.
class Child {
public:
  explicit Child(const std::function<void()> &body) : id(::fork()) {
    if (id == 0) {
      body();
      ::_exit(0);
    }
  }
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  ~Child() {
    if (id > 0 && !reaped && ::kill(id, SIGKILL) == 0)
      ::waitpid(id, nullptr, 0);
  }
  pid_t pid() const { return id; }
  /// How it ended, as waitFor says; reaped once it has.
  int wait(std::chrono::milliseconds limit = 10s) {
    const int status = waitFor(id, limit);
    reaped = status >= 0;
    return status;
  }

private:
  pid_t id;
  bool reaped = false;
};

/// A forked child that talks with the test in lines: \p body gets the
/// descriptor it says them on (at 200 or above, clear of those a body counts
/// on) and the one on which the test's words come. Killed and reaped, its
/// pipes closed, when the owner goes.
class Talker {
public:
  explicit Talker(const std::function<void(int say, int hear)> &body) {
    int out[2], in[2]; // pipe and fcntl, as macOS has no pipe2
    if (::pipe(out) != 0 || ::pipe(in) != 0)
      throw std::runtime_error("no pipe");
    for (const int end : {out[0], out[1], in[0], in[1]})
      ::fcntl(end, F_SETFD, FD_CLOEXEC);
    child = std::make_unique<Child>([&] {
      const int say = ::fcntl(out[1], F_DUPFD_CLOEXEC, 200), hear = ::fcntl(in[0], F_DUPFD_CLOEXEC, 200);
      for (const int end : {out[0], out[1], in[0], in[1]})
        ::close(end);
      body(say, hear);
    });
    ::close(out[1]);
    ::close(in[0]);
    heard = out[0];
    told = in[1];
  }
  ~Talker() {
    child.reset();
    ::close(heard);
    ::close(told);
  }
  static void say(int fd, const std::string &line) { (void)!::write(fd, (line + "\n").data(), line.size() + 1); }
  /// The next line it says, without its newline; none within \p limit.
  std::optional<std::string> line(std::chrono::milliseconds limit = 10s) {
    pollfd ready{heard, POLLIN, 0};
    for (char c = 0; buffer.find('\n') == std::string::npos; buffer += c)
      if (::poll(&ready, 1, static_cast<int>(limit.count())) != 1 || ::read(heard, &c, 1) != 1)
        return std::nullopt;
    const std::string said = buffer.substr(0, buffer.find('\n'));
    buffer.erase(0, said.size() + 1);
    return said;
  }
  /// Whether it says nothing more within \p limit.
  bool quietFor(std::chrono::milliseconds limit) {
    pollfd ready{heard, POLLIN, 0};
    return buffer.empty() && ::poll(&ready, 1, static_cast<int>(limit.count())) == 0;
  }
  void tell(char word) { (void)!::write(told, &word, 1); }
  pid_t pid() const { return child->pid(); }
  int wait(std::chrono::milliseconds limit = 10s) { return child->wait(limit); }

private:
  std::unique_ptr<Child> child;
  int heard = -1, told = -1;
  std::string buffer;
};

/// A process that holds the key mapping's lock for \p hold, returned once it
/// has it; none when it never does.
inline std::unique_ptr<Child> holdLock(std::chrono::milliseconds hold) {
  int held[2];
  if (::pipe(held) != 0)
    return nullptr;
  auto holder = std::make_unique<Child>([&] {
    if (const auto lock = FnRemapKit::KeyMappingLock::acquire(); lock && ::write(held[1], "1", 1) == 1)
      sleep_for(hold);
  });
  ::close(held[1]); // so that a holder that never has the lock is an end of file
  char byte = 0;
  const bool got = ::read(held[0], &byte, 1) == 1;
  ::close(held[0]);
  return got ? std::move(holder) : nullptr;
}

/// The pid of a process that has exited and been reaped.
inline pid_t goneProcess() {
  Child gone([] {});
  gone.wait();
  return gone.pid();
}

/// Runs \p program with \p arguments (program name first), its output in
/// \p outputs/stdout and \p outputs/stderr. \p beforeExec runs in the child.
class ToolProcess : public Child {
public:
  ToolProcess(const std::string &program, const std::vector<std::string> &arguments,
              const std::filesystem::path &outputs, const std::function<void()> &beforeExec = {})
      : Child([&] {
          const int out = ::open((outputs / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
          const int err = ::open((outputs / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
          if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 || ::close(out) || ::close(err))
            ::_exit(126);
          if (beforeExec)
            beforeExec();
          std::vector<char *> argv;
          for (const auto &argument : arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
          argv.push_back(nullptr);
          ::execv(program.c_str(), argv.data());
          ::_exit(127);
        }),
        outputs(outputs) {}
  std::string standardOutput() const { return readFile(outputs / "stdout"); }
  std::string standardError() const { return readFile(outputs / "stderr"); }

private:
  std::filesystem::path outputs;
};


/// A test with a key mapping of its own holding \p initial (when given),
/// the store over it, and a private folder for its other files; skipped on a
/// Mac whose real key mapping it may not change. Whatever it does, it leaves
/// no descriptor of ours open (nor, over the fakes, an IOKit object).
class KeyMappingTest : public testing::Test {
protected:
  explicit KeyMappingTest(std::optional<FnRemapKit::KeyMappingList> initial = {}) : initial(std::move(initial)) {}
  void SetUp() override {
    descriptors = openDescriptors();
    std::string pattern = (std::filesystem::temp_directory_path() / "fnguard-test.XXXXXX").string();
    root = ::mkdtemp(pattern.data());
    path = root / "state";
#if defined(__APPLE__) && !defined(FNREMAPKIT_APPLE_FAKES)
    if (const char *real = ::getenv("FNREMAPKIT_TEST_REAL_HID"); !real || std::string(real) != "1")
      GTEST_SKIP() << "changes the keyboard's real key mapping: set FNREMAPKIT_TEST_REAL_HID=1 to run it";
    saved = store.read().value_or(FnRemapKit::KeyMappingList{});
#else
    if (const char *runtime = ::getenv("XDG_RUNTIME_DIR"))
      runtimeDirectory = runtime;
    ::setenv("TARNWICK_HID_STATE_DIR", path.c_str(), 1);
#endif
    ASSERT_TRUE(!initial || store.write(*initial));
  }
  void TearDown() override {
#if defined(__APPLE__) && !defined(FNREMAPKIT_APPLE_FAKES)
    if (saved)
      store.write(*saved);
#else
    ::unsetenv("TARNWICK_HID_STATE_DIR");
    runtimeDirectory ? ::setenv("XDG_RUNTIME_DIR", runtimeDirectory->c_str(), 1) : ::unsetenv("XDG_RUNTIME_DIR");
#endif
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    EXPECT_EQ(openDescriptors(), descriptors) << "a descriptor was left open";
#if defined(FNREMAPKIT_APPLE_FAKES)
    EXPECT_EQ(appleFakeIOObjects(), 0u) << "an IOKit object was left unreleased";
#endif
  }
  static long openDescriptors() { return std::distance(std::filesystem::directory_iterator("/dev/fd"), {}); }

  // The stand-in's own file, for the tests of its format and rules; on the
  // macOS branch here, the fake HID event system's (tests/apple-fakes).
#if defined(FNREMAPKIT_APPLE_FAKES)
  std::filesystem::path file() const { return path / "UserKeyMapping.plist"; }
#else
  std::filesystem::path file() const { return path / "UserKeyMapping.json"; }
#endif
  std::string contents() const { return readFile(file()); }
  /// Writes the state file as another writer would, with the stand-in's modes.
  void put(const std::string &text) const {
    std::filesystem::create_directories(path);
    ::chmod(path.c_str(), 0700);
    std::ofstream(file(), std::ios::binary | std::ios::trunc) << text;
    ::chmod(file().c_str(), 0600);
  }
  /// Puts the list written as JSON \p json into the HID system under test,
  /// as another tool would: the text itself for the stand-in; on macOS the
  /// same value as a property list (propertyListOf), through the system's
  /// own call.
  void putList(const std::string &json) const {
#if defined(__APPLE__)
    const auto list = propertyListOf(nlohmann::json::parse(json));
    ASSERT_TRUE(list && KeyMappingProperty().set(list.get())) << json;
#else
    put(json);
#endif
  }
  /// Whether the system holds \p json as putList put it: the same text; on
  /// macOS the same object, numbers of the same kinds and widths.
  testing::AssertionResult holdsList(const std::string &json) const {
#if defined(__APPLE__)
    const CFHeld held = KeyMappingProperty().copy();
    if (sameObject(held.get(), propertyListOf(nlohmann::json::parse(json)).get()))
      return testing::AssertionSuccess();
    const CFHeld said(held ? CFCopyDescription(held.get()) : nullptr);
    char text[65536] = "nothing";
    if (said)
      CFStringGetCString(static_cast<CFStringRef>(said.get()), text, sizeof text, kCFStringEncodingUTF8);
    return testing::AssertionFailure() << "the system holds " << text;
#else
    return contents() == json ? testing::AssertionSuccess() : testing::AssertionFailure() << "the file holds " << contents();
#endif
  }

  FnRemapKit::HIDKeyMappingStore store;
  std::filesystem::path root; // the test's own folder, parent of path
  std::filesystem::path path; // the stand-in's state directory

private:
  std::optional<FnRemapKit::KeyMappingList> initial, saved;
  std::optional<std::string> runtimeDirectory;
  long descriptors = 0;
};

} // namespace TestSupport
