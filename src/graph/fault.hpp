// The one exception type for internal faults of the core.
//
// An internal fault is a broken invariant of this module (never a bad input):
// a lookup that must succeed, a bound that must hold, a progress line that
// could not be written. It stops the running operation at once; the Python
// boundary turns it into the `PanicException` that reaches the caller.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace velunq {

class InternalFault : public std::runtime_error {
 public:
  explicit InternalFault(const std::string& message,
                         std::source_location where = std::source_location::current())
      : std::runtime_error(message), where_(where) {}

  const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

}  // namespace velunq
