// SPDX-License-Identifier: Apache-2.0
#include "SessionErrors.hpp"

#include "FnRemapKit/FnGuard.hpp"
#include "FnRemapKit/KeyMappingStore.hpp"

namespace FnRemapKit::SessionErrors {
namespace {

const MessageRow &rowOf(Message message) noexcept {
  for (const auto &row : messages)
    if (row.message == message)
      return row;
  return messages[0]; // every message has its row; a test holds the table to that
}

} // namespace

std::string text(Message message, std::initializer_list<std::string_view> parts) {
  const std::string_view pattern = rowOf(message).pattern;
  std::string line;
  auto part = parts.begin();
  for (std::size_t at = 0; at < pattern.size();) {
    const std::size_t hole = pattern.find("{}", at);
    line += pattern.substr(at, hole - at);
    if (hole == std::string_view::npos)
      break;
    if (part != parts.end())
      line += *part++;
    at = hole + 2;
  }
  return line;
}

Code codeOf(Message message) noexcept { return rowOf(message).code; }

FnRemapSessionError error(Message message, std::initializer_list<std::string_view> parts) {
  return FnRemapSessionError(codeOf(message), text(message, parts));
}

FnRemapSession::Ending ending(Message message, std::initializer_list<std::string_view> parts) {
  return {false, text(message, parts), codeOf(message)};
}

std::string readReason(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const KeyMappingError &) {
    return "the key mapping is malformed"; // another tool's entry is carried, never refused
  } catch (...) {
    return FnGuard::detail::errorText(std::current_exception());
  }
}

FnRemapSession::Ending lockFailure(bool busy, const std::string &why) {
  if (busy)
    return ending(Message::locked);
  // The lock words its refusals as a whole line, for the guard's log too.
  constexpr std::string_view prefix = "cannot lock the key mapping: ";
  const std::string_view reason = std::string_view(why).starts_with(prefix) ? std::string_view(why).substr(prefix.size()) : why;
  return ending(Message::lockRefused, {reason});
}

FnRemapSession::Ending failure(Code otherwise) {
  try {
    throw;
  } catch (const FnRemapSessionError &error) {
    return {false, error.what(), error.code()};
  } catch (const std::exception &error) {
    return {false, error.what(), otherwise};
  } catch (...) {
    return {false, "unknown error", otherwise};
  }
}

} // namespace FnRemapKit::SessionErrors
