// The version of the interpreter the module runs in, for the few places where the limited API
// behaves differently between versions.
#pragma once

#include <optional>
#include <string_view>

namespace marlix::python {

struct InterpreterVersion {
  int major = 0;
  int minor = 0;
  int patch = 0;

  friend auto operator<=>(const InterpreterVersion&, const InterpreterVersion&) = default;
};

// "3.11.7 (main, …)" → 3.11.7: the text up to the first space, as major.minor.patch. Each part
// is read up to its first non-digit, so "3.13.0rc1" is 3.13.0. Null when no number is there.
std::optional<InterpreterVersion> parse_interpreter_version(std::string_view text);

// Read from Py_GetVersion once per process. An unreadable version counts as 0.0.0, the oldest,
// so that version-dependent choices fall to the side that is safe on every interpreter.
InterpreterVersion running_interpreter_version();

}  // namespace marlix::python
