// SPDX-License-Identifier: Apache-2.0
//===- support/OwnFile.hpp - Small files only we may have written ---------===//
//
// The stand-in's property files and the ledger of holds are read whole,
// only if they pass the file rules (support/FileRules.hpp), and replaced
// whole: written to a new file of a random name beside the old one and
// renamed over it, so that no reader ever sees part of one and a writer
// that dies mid-write loses nothing.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace FnRemapKit {

/// The text of \p name in the directory open as \p directory, or nothing
/// when there is no such file; of a file longer than \p most bytes, its
/// first \p most. Throws std::runtime_error saying why, with \p where as
/// the file's name, for a file refused by the rules or that cannot be read.
std::optional<std::string> readOwnFile(int directory, const std::string &name, const std::string &where,
                                       std::size_t most = std::string::npos);

/// Replaces \p name in \p directory with \p text, mode 0600. Whatever stands
/// in its place must pass the rules a reader applies, or we would replace
/// what we were told not to trust. Empty on success, else why not.
std::string replaceOwnFile(int directory, const std::string &name, std::string_view text);

} // namespace FnRemapKit
