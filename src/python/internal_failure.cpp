#include "python/internal_failure.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/internal_error.hpp"
#include "python/owned_ref.hpp"
#include "python/python.hpp"

namespace marlix::python {

namespace {

constexpr const char* kTypeName = "marlix.InternalError";
constexpr const char* kTypeDoc =
    "Raised when native code called from Python fails unrecoverably.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it typically\n"
    "propagates all the way up and ends the interpreter.";
constexpr std::string_view kGenericMessage = "internal failure without a message";

// Created on first use and kept for the rest of the process; it is not a module attribute.
PyObject* internal_failure_type = nullptr;

PyObject* get_or_create_type() {
  if (internal_failure_type == nullptr) {
    internal_failure_type =
        PyErr_NewExceptionWithDoc(kTypeName, kTypeDoc, PyExc_BaseException, nullptr);
  }
  return internal_failure_type;
}

void write_diagnostic(std::string_view message, const std::source_location* where) {
  std::fprintf(stderr, "_marlix: internal failure: %.*s\n", static_cast<int>(message.size()),
               message.data());
  if (where != nullptr) {
    std::fprintf(stderr, "  at %s:%u:%u in %s\n", where->file_name(),
                 static_cast<unsigned>(where->line()), static_cast<unsigned>(where->column()),
                 where->function_name());
  } else {
    std::fprintf(stderr, "  at an unknown location (not a marlix::InternalError)\n");
  }
}

[[noreturn]] void terminate_during(const char* step) {
  std::fprintf(stderr, "_marlix: a second internal failure while %s; terminating the process\n",
               step);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

void raise_internal_failure(std::string_view message, const std::source_location* where) noexcept {
  if (message.empty()) {
    message = kGenericMessage;
  }
  write_diagnostic(message, where);
  try {
    // The internal failure takes the place of anything left pending on the way here.
    PyErr_Clear();
    PyObject* type = get_or_create_type();
    if (type == nullptr) {
      terminate_during("creating the internal-failure exception type");
    }
    // The message may come from anywhere below; never let its bytes fail the raise.
    OwnedRef text = OwnedRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) {
      terminate_during("making the internal-failure message");
    }
    PyErr_SetObject(type, text.get());
  } catch (...) {
    terminate_during("raising the internal-failure exception");
  }
}

void python_call_failed(const char* message, std::source_location where) {
  PyErr_Print();
  throw InternalError(message, where);
}

}  // namespace marlix::python
