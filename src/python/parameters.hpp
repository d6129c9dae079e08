// The description of a callable's parameters: one static record per callable, read by argument
// matching and by the messages that name the callable.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace marlix::python {

struct KeywordOnlyParameter {
  std::string_view name;
  bool required = true;
};

struct ParameterSpec {
  std::string_view class_name;  // empty for module functions
  std::string_view function_name;
  std::span<const std::string_view> positional;
  std::size_t positional_only = 0;  // leading parameters that may not be given by keyword
  std::size_t required_positional = 0;
  std::span<const KeywordOnlyParameter> keyword_only = {};

  std::size_t size() const { return positional.size() + keyword_only.size(); }

  // Positional parameters first, then the keyword-only ones.
  std::string_view name_at(std::size_t index) const {
    return index < positional.size() ? positional[index]
                                     : keyword_only[index - positional.size()].name;
  }

  // "plan()", "Fleet.__new__()", "Fleet.route()".
  std::string display_name() const {
    std::string text;
    if (!class_name.empty()) {
      text.append(class_name).append(".");
    }
    return text.append(function_name).append("()");
  }
};

}  // namespace marlix::python
