// The two ways the interpreter hands a call its arguments: a tuple and a dictionary (every
// interpreter), or an array with a tuple of keyword names (the fast convention, part of the
// limited API from 3.10). A callable is registered in the fast one where the running interpreter
// has it, which spares every call the tuple the other one builds; both arrive at the same
// matching and the same boundary.
#pragma once

#include "python/python.hpp"

namespace marlix::python {

// Positional arguments in a tuple (or null for none), keyword arguments in a dict (or null).
struct TupleArguments {
  PyObject* args;
  PyObject* kwargs;
};

// `count` positional arguments at `values`, followed by one value for each name in the tuple
// `keyword_names` (null when there are none).
struct VectorArguments {
  PyObject* const* values;
  Py_ssize_t count;
  PyObject* keyword_names;
};

// METH_FASTCALL | METH_KEYWORDS. The 3.9 headers do not define METH_FASTCALL, whose value is
// fixed by the limited API of 3.10.
inline constexpr int kFastCallFlags = 0x0080 | METH_KEYWORDS;

// Whether the running interpreter takes kFastCallFlags (3.10 on).
bool fast_calls_available();

template <typename Function>
PyCFunction as_cfunction(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <PyObject* (*Body)(PyObject*, TupleArguments)>
PyObject* tuple_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Body(self, TupleArguments{args, kwargs});
}

template <PyObject* (*Body)(PyObject*, VectorArguments)>
PyObject* vector_entry(PyObject* self, PyObject* const* values, Py_ssize_t count,
                       PyObject* keyword_names) {
  return Body(self, VectorArguments{values, count, keyword_names});
}

// The method record of a callable with a body for each kind of arguments (one function
// template, instantiated for both): in the fast convention where the interpreter has it.
template <PyObject* (*Tuple)(PyObject*, TupleArguments),
          PyObject* (*Vector)(PyObject*, VectorArguments)>
PyMethodDef method_record(const char* name, const char* doc) {
  if (fast_calls_available()) {
    return {name, as_cfunction(&vector_entry<Vector>), kFastCallFlags, doc};
  }
  return {name, as_cfunction(&tuple_entry<Tuple>), METH_VARARGS | METH_KEYWORDS, doc};
}

}  // namespace marlix::python
