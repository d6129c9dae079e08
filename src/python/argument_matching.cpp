#include "python/argument_matching.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/internal_error.hpp"
#include "python/utf8.hpp"

namespace marlix::python {

namespace {

PyError type_error(std::string message) {
  return PyError::make(PyExc_TypeError, std::move(message));
}

PyError too_many_positional(const ParameterSpec& spec, std::size_t given) {
  std::string message = spec.display_name() + " takes ";
  if (spec.required_positional < spec.positional.size()) {
    message += "from " + std::to_string(spec.required_positional) + " to ";
  }
  message += std::to_string(spec.positional.size()) + " positional arguments but " +
             std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  return type_error(std::move(message));
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    }
    text.append("'").append(names[i]).append("'");
  }
  return text;
}

PyError missing(const ParameterSpec& spec, std::string_view kind,
                const std::vector<std::string_view>& names) {
  return type_error(spec.display_name() + " missing " + std::to_string(names.size()) +
                    " required " + std::string(kind) +
                    (names.size() == 1 ? " argument: " : " arguments: ") + quoted_list(names));
}

// The UTF-8 of a `str` that may hold lone surrogates (encoded with "surrogatepass") with each
// surrogate's three bytes shown as three U+FFFD, as a lossy UTF-8 decoder would show them.
std::string replace_surrogates(std::string_view bytes) {
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string text;
  text.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    const bool surrogate = lead == 0xED && i + 2 < bytes.size() &&
                           (static_cast<unsigned char>(bytes[i + 1]) & 0xE0) == 0xA0;
    if (surrogate) {
      for (int k = 0; k < 3; ++k) {
        text += kReplacement;
      }
      i += 2;
    } else {
      text += bytes[i];
    }
  }
  return text;
}

PyError unexpected_keyword(const ParameterSpec& spec, PyObject* key) {
  OwnedRef text = OwnedRef::steal(PyObject_Str(key));
  if (!text) {
    return PyError::fetch();
  }
  OwnedRef bytes = OwnedRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!bytes) {
    return PyError::fetch();
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) {
    return PyError::fetch();
  }
  return type_error(spec.display_name() + " got an unexpected keyword argument '" +
                    replace_surrogates(std::string_view(data, static_cast<std::size_t>(size))) +
                    "'");
}

// The slot a keyword names, compared byte for byte; a key that is not a `str` or cannot be
// encoded as UTF-8 names none.
std::optional<std::size_t> keyword_slot(const ParameterSpec& spec, PyObject* key) {
  if (!PyUnicode_Check(key)) {
    return std::nullopt;
  }
  auto name = utf8_of(key);
  if (!name) {
    PyErr_Clear();
    return std::nullopt;
  }
  for (std::size_t i = spec.positional_only; i < spec.size(); ++i) {
    if (spec.name_at(i) == *name) {
      return i;
    }
  }
  return std::nullopt;
}

}  // namespace

std::expected<void, PyError> match_arguments(const ParameterSpec& spec, PyObject* args,
                                             PyObject* kwargs, std::span<OwnedRef> slots) {
  if (slots.size() != spec.size()) {
    throw InternalError("argument slots do not match the parameter description");
  }
  const std::size_t positional_count = spec.positional.size();

  const Py_ssize_t given_size = args == nullptr ? 0 : PyTuple_Size(args);
  if (given_size < 0) {
    return std::unexpected(PyError::fetch());
  }
  const auto given = static_cast<std::size_t>(given_size);
  if (given > positional_count) {
    return std::unexpected(too_many_positional(spec, given));
  }
  for (std::size_t i = 0; i < given; ++i) {
    PyObject* item = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    if (item == nullptr) {
      return std::unexpected(PyError::fetch());
    }
    slots[i] = OwnedRef::borrow(item);
  }

  const Py_ssize_t keyword_count = kwargs == nullptr ? 0 : PyDict_Size(kwargs);
  if (keyword_count < 0) {
    return std::unexpected(PyError::fetch());
  }
  if (keyword_count > 0) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      // Held while its text form runs, which may be Python code of a `str` subclass.
      const OwnedRef held_key = OwnedRef::borrow(key);
      const auto slot = keyword_slot(spec, held_key.get());
      if (!slot) {
        return std::unexpected(unexpected_keyword(spec, held_key.get()));
      }
      if (slots[*slot]) {
        return std::unexpected(type_error(spec.display_name() +
                                          " got multiple values for argument '" +
                                          std::string(spec.name_at(*slot)) + "'"));
      }
      slots[*slot] = OwnedRef::borrow(value);
    }
  }

  if (given < spec.required_positional) {
    std::vector<std::string_view> names;
    for (std::size_t i = given; i < spec.required_positional; ++i) {
      if (!slots[i]) {
        names.push_back(spec.positional[i]);
      }
    }
    if (!names.empty()) {
      return std::unexpected(missing(spec, "positional", names));
    }
  }

  std::vector<std::string_view> keyword_names;
  for (std::size_t i = 0; i < spec.keyword_only.size(); ++i) {
    if (spec.keyword_only[i].required && !slots[positional_count + i]) {
      keyword_names.push_back(spec.keyword_only[i].name);
    }
  }
  if (!keyword_names.empty()) {
    return std::unexpected(missing(spec, "keyword", keyword_names));
  }
  return {};
}

}  // namespace marlix::python
