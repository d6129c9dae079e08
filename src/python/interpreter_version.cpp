#include "python/interpreter_version.hpp"

#include <array>
#include <cstddef>

#include "python/python.hpp"

namespace marlix::python {

std::optional<InterpreterVersion> parse_interpreter_version(std::string_view text) {
  text = text.substr(0, text.find(' '));
  std::array<int, 3> parts = {};
  std::size_t position = 0;
  for (std::size_t part = 0; part < parts.size(); ++part) {
    const std::size_t start = position;
    int value = 0;
    while (position < text.size() && text[position] >= '0' && text[position] <= '9' &&
           value < 100000) {
      value = value * 10 + (text[position] - '0');
      ++position;
    }
    if (position == start) {
      return std::nullopt;
    }
    parts[part] = value;
    if (part + 1 < parts.size()) {
      if (position >= text.size() || text[position] != '.') {
        return std::nullopt;
      }
      ++position;
    }
  }
  return InterpreterVersion{parts[0], parts[1], parts[2]};
}

InterpreterVersion running_interpreter_version() {
  static const InterpreterVersion version =
      parse_interpreter_version(Py_GetVersion()).value_or(InterpreterVersion{});
  return version;
}

}  // namespace marlix::python
