#include "json/value.hpp"

#include <algorithm>
#include <bit>

namespace marlix::json {

Number Number::from_float(double v) {
  return Number(Form::Float, std::bit_cast<std::uint64_t>(v));
}

double Number::as_float() const {
  return std::bit_cast<double>(bits_);
}

namespace {

bool key_less(const Member& m, std::string_view key) {
  return std::string_view(m.key) < key;
}

}  // namespace

Object Object::from_unsorted(std::vector<Member> members) {
  Object obj;
  // Most objects arrive with few members; a stable sort keeps equal keys in input order, so the
  // last of a run of equal keys is the one read last.
  bool sorted = std::is_sorted(members.begin(), members.end(),
                               [](const Member& a, const Member& b) { return a.key < b.key; });
  if (!sorted) {
    std::stable_sort(members.begin(), members.end(),
                     [](const Member& a, const Member& b) { return a.key < b.key; });
  }
  // Collapse runs of equal keys onto their last member.
  std::size_t out = 0;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (out > 0 && members[out - 1].key == members[i].key) {
      members[out - 1].value = std::move(members[i].value);
      continue;
    }
    if (out != i) {
      members[out] = std::move(members[i]);
    }
    ++out;
  }
  members.resize(out);
  obj.members_ = std::move(members);
  return obj;
}

void Object::insert(std::string key, Value value) {
  auto it = std::lower_bound(members_.begin(), members_.end(), std::string_view(key), key_less);
  if (it != members_.end() && it->key == key) {
    it->value = std::move(value);
    return;
  }
  members_.insert(it, Member{std::move(key), std::move(value)});
}

const Value* Object::find(std::string_view key) const {
  auto it = std::lower_bound(members_.begin(), members_.end(), key, key_less);
  if (it != members_.end() && it->key == key) {
    return &it->value;
  }
  return nullptr;
}

bool operator==(const Object& a, const Object& b) {
  return a.members_ == b.members_;
}

const Value* Value::find(std::string_view key) const {
  const Object* obj = as_object();
  return obj != nullptr ? obj->find(key) : nullptr;
}

}  // namespace marlix::json
