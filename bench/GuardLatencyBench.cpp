// SPDX-License-Identifier: Apache-2.0
// guard-latency [--trials N] [--poll-trials N] [--state-in DIR]
//
// Time from SIGKILL of a parent to the exit of a waiting tarnwick-fn-guard
// that has removed and verified its entry on the stand-in, beside the kernel
// floor, the bare FnGuard::waitForExit, and a kill-0 loop at a 1-second
// interval, all measured in this run. Then the guard's resident memory and
// voluntary context switches over a 2-second wait, beside sleep(1)'s.
//
// The stand-in's state goes where it would by default, $XDG_RUNTIME_DIR (a
// tmpfs), else /dev/shm; --state-in puts it elsewhere, a disk for instance.
#include "Trials.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

const char *const stateFile = "UserKeyMapping.json";
const char *const installed =
    R"([{"HIDKeyboardModifierMappingSrc":30064771129,"HIDKeyboardModifierMappingDst":30064771296},)"
    R"({"HIDKeyboardModifierMappingSrc":1095216660483,"HIDKeyboardModifierMappingDst":30064771182}])";

std::string stateDirectory(int argc, char **argv) {
  std::string root = ::getenv("XDG_RUNTIME_DIR") ? ::getenv("XDG_RUNTIME_DIR") : "/dev/shm";
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--state-in")
      root = argv[i + 1];
  std::string pattern = root + "/guard-latency.XXXXXX";
  if (!::mkdtemp(pattern.data())) {
    std::perror(root.c_str());
    std::exit(1);
  }
  const std::string directory = pattern + "/hid";
  ::setenv("TARNWICK_HID_STATE_DIR", directory.c_str(), 1);
  ::mkdir(directory.c_str(), 0700);
  return directory;
}

void install(const std::string &directory) {
  const std::string path = directory + "/" + stateFile;
  std::ofstream(path, std::ios::trunc) << installed;
  ::chmod(path.c_str(), 0600);
}

pid_t spawnProgram(const std::vector<std::string> &arguments) {
  return Bench::spawn([&] {
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    std::vector<char *> argv;
    for (const auto &argument : arguments)
      argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  });
}

pid_t spawnGuard(pid_t parent) {
  return spawnProgram({FNGUARD_TOOL, std::to_string(parent), "0xFF00000003", "0x70000006E"});
}

long long statusField(pid_t pid, const std::string &field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":", 0) == 0)
      return std::atoll(line.c_str() + field.size() + 1);
  return -1;
}

/// One sample: a guard waits on a parent, the parent is killed and reaped,
/// and the time runs until the guard has exited with status 0.
long long guardLatency(const std::string &directory) {
  install(directory);
  const pid_t parent = Bench::spawnSleeper();
  const pid_t guard = spawnGuard(parent);
  Bench::pauseMs(20); // long enough for the guard to be in its wait
  const long long killed = Bench::nowNanoseconds();
  ::kill(parent, SIGKILL);
  ::waitpid(parent, nullptr, 0);
  int status = 0;
  ::waitpid(guard, &status, 0);
  const long long done = Bench::nowNanoseconds();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "the guard failed: status %d\n", status);
    std::exit(1);
  }
  return done - killed;
}

struct Footprint {
  long long residentKiB, wakeUps;
};

/// VmRSS once settled, and voluntary context switches over two seconds.
Footprint footprint(pid_t pid) {
  Bench::pauseMs(200);
  const long long before = statusField(pid, "voluntary_ctxt_switches");
  Bench::pauseMs(2000);
  return {statusField(pid, "VmRSS"), statusField(pid, "voluntary_ctxt_switches") - before};
}

} // namespace

int main(int argc, char **argv) {
  const int trials = Bench::argument(argc, argv, "--trials", 200);
  const int pollTrials = Bench::argument(argc, argv, "--poll-trials", 20);
  const std::string directory = stateDirectory(argc, argv);
  std::printf("stand-in state in %s\n\n", directory.c_str());

  const auto floor = Bench::measure("kernel floor (waitpid in parent)", trials, Bench::floorLatency);
  const auto wait = Bench::measure("bare FnGuard::waitForExit", trials, Bench::bareWaitLatency);
  const auto guard = Bench::measure("tarnwick-fn-guard, removed, exited", trials,
                                    [&] { return guardLatency(directory); });
  std::mt19937 rng(7);
  const auto polling = Bench::measure("kill -0 loop, 1 s interval", pollTrials,
                                      [&] { return Bench::pollingLatency(rng); });
  Bench::printTable({floor, wait, guard, polling}, floor);
  std::printf("guard p50 / bare wait p50: %.2fx (aim: 1.5x); guard p99: %.0f us (aim: under 2000)\n",
              guard.percentile(0.5) / wait.percentile(0.5), guard.percentile(0.99));

  install(directory);
  const pid_t parent = Bench::spawnSleeper();
  const pid_t waiting = spawnGuard(parent);
  const pid_t sleeper = spawnProgram({"/bin/sleep", "30"});
  const auto ofGuard = footprint(waiting);
  const auto ofSleep = footprint(sleeper);
  std::printf("\n%-34s %12s %26s\n", "while waiting", "VmRSS (KiB)", "voluntary switches in 2 s");
  std::printf("%-34s %12lld %26lld\n", "tarnwick-fn-guard", ofGuard.residentKiB, ofGuard.wakeUps);
  std::printf("%-34s %12lld %26lld\n", "sleep 30", ofSleep.residentKiB, ofSleep.wakeUps);
  std::printf("guard VmRSS / sleep VmRSS: %.2fx (aim: at most 1x)\n",
              double(ofGuard.residentKiB) / double(ofSleep.residentKiB));
  for (const pid_t pid : {parent, sleeper, waiting}) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  std::filesystem::remove_all(std::filesystem::path(directory).parent_path());
  return 0;
}
