#include "json/value.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <iterator>
#include <utility>

namespace marlix::json {

Number Number::from_float(double v) {
  return Number(Form::Float, std::bit_cast<std::uint64_t>(v));
}

double Number::as_float() const {
  return std::bit_cast<double>(bits_);
}

namespace {

// Objects up to this size are sorted in place: rosters and details hold a handful of keys.
constexpr std::size_t kSmallObject = 16;

bool key_less(const Member& m, std::string_view key) {
  return std::string_view(m.key) < key;
}

}  // namespace

Object Object::from_unsorted(std::vector<Member> members) {
  Object obj;
  // Most objects arrive with few members; a stable sort keeps equal keys in input order, so the
  // last of a run of equal keys is the one read last.
  const auto key_order = [](const Member& a, const Member& b) { return a.key < b.key; };
  if (members.size() <= kSmallObject) {
    // An insertion sort is stable too, and unlike std::stable_sort it needs no buffer.
    for (std::size_t i = 1; i < members.size(); ++i) {
      for (std::size_t j = i; j > 0 && key_order(members[j], members[j - 1]); --j) {
        std::swap(members[j], members[j - 1]);
      }
    }
  } else if (!std::is_sorted(members.begin(), members.end(), key_order)) {
    std::stable_sort(members.begin(), members.end(), key_order);
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

Object Object::from_unsorted(std::span<Member> members) {
  if (members.size() > kSmallObject) {
    return from_unsorted(std::vector<Member>(std::make_move_iterator(members.begin()),
                                             std::make_move_iterator(members.end())));
  }
  // Sort positions rather than members (stable: equal keys keep their input order), then move
  // each member once into its place, a repeated key keeping the value that came last.
  std::uint8_t order[kSmallObject];
  for (std::size_t i = 0; i < members.size(); ++i) {
    std::size_t j = i;
    for (; j > 0 && members[i].key < members[order[j - 1]].key; --j) {
      order[j] = order[j - 1];
    }
    order[j] = static_cast<std::uint8_t>(i);
  }
  Object obj;
  obj.members_.reserve(members.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    Member& m = members[order[i]];
    if (!obj.members_.empty() && obj.members_.back().key == m.key) {
      obj.members_.back().value = std::move(m.value);
    } else {
      obj.members_.push_back(std::move(m));
    }
  }
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
