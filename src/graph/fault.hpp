// The one exception type for internal faults of the core.
//
// An internal fault is a broken invariant of this module (never a bad input):
// a lookup that must succeed, a bound that must hold, a progress line that
// could not be written. It stops the running operation at once; the Python
// boundary turns it into the `PanicException` that reaches the caller.
//
// A fault raised with a string literal allocates nothing, so it can still be
// raised, as itself, when memory has run out (a result object that the
// interpreter could not create, say). Copies share one message, so copying a
// fault never throws.
#pragma once

#include <cstddef>
#include <exception>
#include <memory>
#include <source_location>
#include <string>
#include <string_view>

namespace velunq {

class InternalFault : public std::exception {
 public:
  template <std::size_t N>
  explicit InternalFault(const char (&literal)[N],
                         std::source_location where = std::source_location::current()) noexcept
      : message_(literal), where_(where) {}
  // A writable buffer is no literal: its text would be gone by the time the
  // fault is read. Pass it as a std::string.
  template <std::size_t N>
  explicit InternalFault(char (&buffer)[N], std::source_location where = std::source_location::current()) = delete;

  explicit InternalFault(std::string message,
                         std::source_location where = std::source_location::current())
      : text_(std::make_shared<const std::string>(std::move(message))), message_(text_->c_str()), where_(where) {}

  const char* what() const noexcept override { return message_; }
  // The whole message: one made at run time may hold NUL characters, where
  // what() ends.
  std::string_view message() const noexcept { return text_ ? std::string_view(*text_) : std::string_view(message_); }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::shared_ptr<const std::string> text_;  // owns a message made at run time
  const char* message_;
  std::source_location where_;
};

}  // namespace velunq
