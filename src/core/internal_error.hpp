// The one exception type of the core: thrown only when an invariant is broken, never for bad
// input. Bad input is reported through std::expected; the Python boundary alone catches this.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace marlix {

class InternalError : public std::logic_error {
 public:
  explicit InternalError(const std::string& what,
                         std::source_location where = std::source_location::current())
      : std::logic_error(what), where_(where) {}

  const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

}  // namespace marlix
