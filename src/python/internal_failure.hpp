// Internal failures: a broken invariant somewhere below the boundary. They reach Python as one
// dedicated exception type derived from BaseException, so that ordinary `except Exception`
// handlers do not swallow them.
#pragma once

#include <source_location>
#include <string_view>

namespace marlix::python {

// Raises the internal-failure exception with `message` (a generic text when it is empty) and
// writes a diagnostic with the message and `where` (null: unknown) to standard error. If that
// itself fails, the process is terminated: there is no sane state left to return to.
void raise_internal_failure(std::string_view message, const std::source_location* where) noexcept;

// For an interpreter call that failed where failing is not an option: prints the pending
// exception and throws marlix::InternalError with `message`.
[[noreturn]] void python_call_failed(const char* message = "Python API call failed",
                                     std::source_location where = std::source_location::current());

}  // namespace marlix::python
