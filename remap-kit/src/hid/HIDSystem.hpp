// SPDX-License-Identifier: Apache-2.0
//===- hid/HIDSystem.hpp - The seam to the HID event system ---------------===//
//
// The three operations the store needs of the platform (create a client, copy
// a property, set a property) over a small model of the property values a
// platform can hold. IOKit serves them on macOS; a file-backed stand-in
// serves them everywhere else.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "../support/FileDescriptor.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace FnRemapKit::HID {

struct Value;
struct DictionaryEntry;
struct Null {
  friend bool operator==(Null, Null) = default;
};
/// Any kind of object the model has no case for.
struct Other {
  friend bool operator==(Other, Other) = default;
};
using Data = std::vector<std::uint8_t>;
using Array = std::vector<Value>;
/// Keys of any kind, in the platform's order.
using Dictionary = std::vector<DictionaryEntry>;

/// One property value. A number is an integer or a real, and says which.
struct Value {
  std::variant<Null, bool, std::int64_t, double, std::string, Data, Array,
               Dictionary, Other>
      kind;
  /// The platform's own object, where the model loses something of it (a
  /// number's width, an object it has no case for): a value carried whole
  /// is written back as that object. No part of equality.
  std::shared_ptr<const void> native = {};

  // Defined below: comparing a Dictionary needs DictionaryEntry complete.
  friend bool operator==(const Value &, const Value &);
};

// A plain aggregate rather than std::pair: pair's conditionally explicit
// constructors make libstdc++ inspect Value while it is still incomplete.
struct DictionaryEntry {
  Value key;
  Value value;

  friend bool operator==(const DictionaryEntry &,
                         const DictionaryEntry &) = default;
};

inline bool operator==(const Value &a, const Value &b) {
  return a.kind == b.kind;
}

/// Containers deeper than this are refused by the readers: a key mapping
/// list is two levels deep, and the limit keeps hostile input from
/// exhausting the stack.
inline constexpr std::size_t maximumDepth = 32;

/// The property the user key mapping lives in.
inline constexpr std::string_view userKeyMappingProperty = "UserKeyMapping";

/// A client of the HID event system, owned for as long as the object lives.
class Client {
public:
  /// Throws std::runtime_error saying why when no client can be had.
  static Client createSimple();

  Client(Client &&) noexcept;
  Client &operator=(Client &&) noexcept;
  ~Client();

  /// The property's current value, or nothing when it is not set. Throws
  /// KeyMappingError::unsupportedShape for a value the model cannot hold,
  /// and std::runtime_error when the value cannot be read.
  std::optional<Value> copyProperty(std::string_view key) const;

  /// Replaces the property's value; true when the system accepted it.
  bool setProperty(std::string_view key, const Value &value) const noexcept;

  struct Impl;

private:
  explicit Client(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl;
};

/// The file that FnRemapKit's writers lock over each read-modify-write of
/// the user key mapping, opened read-only and close-on-exec. Throws
/// std::runtime_error saying why it is refused.
FileDescriptor openLockFile();

/// Where that file is; empty when it cannot be known (the stand-in without
/// a state directory).
std::string lockFilePath();

/// Where the ledger of holds lives: its directory, open (not open when it
/// does not exist yet and \p create is false), and the file's name in it.
/// Throws std::runtime_error saying why the directory is refused.
struct LedgerPlace {
  FileDescriptor directory;
  std::string name;
};
LedgerPlace openLedgerPlace(bool create);

/// Where the ledger's file is; empty when it cannot be known.
std::string ledgerPath();

/// Whether the list outlives a restart of the machine. The HID event
/// system's never does, so a hold of another boot has nothing left to
/// release; the stand-in's file on a disk may.
bool listOutlivesRestart() noexcept;

} // namespace FnRemapKit::HID
