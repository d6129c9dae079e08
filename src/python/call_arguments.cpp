#include "python/call_arguments.hpp"

#include "python/interpreter_version.hpp"

namespace marlix::python {

bool fast_calls_available() {
  return running_interpreter_version() >= InterpreterVersion{3, 10, 0};
}

}  // namespace marlix::python
