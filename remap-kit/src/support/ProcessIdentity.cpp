// SPDX-License-Identifier: Apache-2.0
#include "ProcessIdentity.hpp"

#include "FileDescriptor.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/sysctl.h>
#else
#include "ProcessStat.hpp"
#endif

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace FnRemapKit {
namespace {

#if defined(__APPLE__)
// Zero and nothing filled in when there is no such process.
bool processEntry(pid_t pid, struct kinfo_proc &info) {
  int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
  std::size_t size = sizeof info;
  return ::sysctl(name, 4, &info, &size, nullptr, 0) == 0 && size == sizeof info;
}
#else
// The first line of a small /proc file, without its line break.
std::string firstLine(const char *path) {
  const FileDescriptor file(::open(path, O_RDONLY | O_CLOEXEC));
  std::array<char, 256> buffer{};
  const ssize_t size = file ? ::read(file.get(), buffer.data(), buffer.size()) : -1;
  std::string line(buffer.data(), size > 0 ? static_cast<std::size_t>(size) : 0);
  return line.substr(0, line.find('\n'));
}
#endif

} // namespace

std::optional<ProcessLook> lookUpProcess(pid_t pid) noexcept {
  if (pid <= 0)
    return std::nullopt;
  const bool exists = ::kill(pid, 0) == 0 || errno != ESRCH;
  if (!exists)
    return std::nullopt;
#if defined(__APPLE__)
  struct kinfo_proc info {};
  errno = 0;
  if (!processEntry(pid, info))
    return errno == 0 && ::kill(pid, 0) != 0 && errno == ESRCH ? std::nullopt
                                                                 : std::optional(ProcessLook{ProcessLook::State::refused, 0, 0});
  const auto &started = info.kp_proc.p_starttime;
  return ProcessLook{info.kp_proc.p_stat == SZOMB ? ProcessLook::State::exited : ProcessLook::State::running,
                     info.kp_eproc.e_ppid,
                     static_cast<std::uint64_t>(started.tv_sec) * 1'000'000 + static_cast<std::uint64_t>(started.tv_usec)};
#else
  const auto stat = readProcessStat(pid);
  if (!stat) // gone in between, or hidden from us: only a second probe tells
    return ::kill(pid, 0) != 0 && errno == ESRCH ? std::nullopt
                                                 : std::optional(ProcessLook{ProcessLook::State::refused, 0, 0});
  // A zombie whose main thread has ended while others run has not exited.
  const bool exited = (stat->state == 'Z' || stat->state == 'X') && stat->threads == 1;
  return ProcessLook{exited ? ProcessLook::State::exited : ProcessLook::State::running, stat->parent, stat->start};
#endif
}

// Our own start time does not change while we run, and every session's
// install asks for it: read once per process. Keyed by the pid, so that a
// forked child reads its own; the start is stored before the pid, and read
// after it, so that a thread that sees our pid sees our start. A failed
// read (no descriptors, say) is not kept.
ProcessIdentity currentProcess() noexcept {
  static std::atomic<pid_t> knownPid{0};
  static std::atomic<std::uint64_t> knownStart{0};
  const pid_t self = ::getpid();
  if (knownPid.load(std::memory_order_acquire) == self)
    return {self, knownStart.load(std::memory_order_relaxed)};
  const auto look = lookUpProcess(self);
  const std::uint64_t start = look && look->state == ProcessLook::State::running ? look->start : 0;
  if (start != 0) {
    knownStart.store(start, std::memory_order_relaxed);
    knownPid.store(self, std::memory_order_release);
  }
  return {self, start};
}

bool isRunning(const ProcessIdentity &process) noexcept {
  const auto look = lookUpProcess(process.pid);
  if (!look)
    return false;
  if (look->state == ProcessLook::State::refused)
    return true;
  return look->state == ProcessLook::State::running && look->start == process.start;
}

std::string processName(std::int32_t pid) {
#if defined(__APPLE__)
  struct kinfo_proc info {};
  return processEntry(pid, info) ? std::string(info.kp_proc.p_comm) : std::string();
#else
  std::array<char, 32> path{};
  std::snprintf(path.data(), path.size(), "/proc/%d/comm", static_cast<int>(pid));
  return firstLine(path.data());
#endif
}

namespace {

std::string readBootIdentifier() {
#if defined(__APPLE__)
  std::array<char, 64> uuid{};
  std::size_t size = uuid.size() - 1;
  return ::sysctlbyname("kern.bootsessionuuid", uuid.data(), &size, nullptr, 0) == 0 ? std::string(uuid.data())
                                                                                      : std::string();
#else
  return firstLine("/proc/sys/kernel/random/boot_id");
#endif
}

} // namespace

// A process never outlives the boot it started in, so the identifier is
// read once (every install and release asks for it); an empty one, which
// a read that failed gives, is read again next time. Never destroyed: a
// session in a static, or a monitor still running as the process exits,
// may release after static destructors have run.
std::string bootIdentifier() {
  static const std::string *const known = new std::string(readBootIdentifier());
  return known->empty() ? readBootIdentifier() : *known;
}

} // namespace FnRemapKit
