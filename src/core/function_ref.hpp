// A reference to something callable, for a parameter that is called during the call it is
// handed to and not kept beyond it. Unlike std::function it neither allocates nor copies the
// callable, whatever the callable captures, so handing one over costs two pointers.
#pragma once

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace marlix {

template <typename Signature>
class FunctionRef;

template <typename R, typename... Args>
class FunctionRef<R(Args...)> {
 public:
  // Refers to `f`, which must outlive every call through this reference.
  template <typename F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
             std::is_invocable_r_v<R, std::remove_reference_t<F>&, Args...>)
  FunctionRef(F&& f) noexcept  // implicit, as a lambda is handed over
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* object, Args... args) -> R {
          return std::invoke(*static_cast<std::remove_reference_t<F>*>(object),
                             std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

}  // namespace marlix
