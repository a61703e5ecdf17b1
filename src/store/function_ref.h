// FunctionRef<R(Args...)>: a non-owning reference to a callable, for
// callbacks that are called only during the call they are passed to. It is
// two words (the callable's address and a trampoline), never allocates, and
// costs one indirect call per invocation.
//
// The callable must outlive the FunctionRef: take it as a parameter, never
// store it.

#ifndef MARROW_STORE_FUNCTION_REF_H_
#define MARROW_STORE_FUNCTION_REF_H_

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace marrow::store {

template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
             !std::is_function_v<std::remove_reference_t<F>> &&
             std::is_invocable_r_v<R, F&, Args...>)
  FunctionRef(F&& f) noexcept  // NOLINT(google-explicit-constructor)
      : callable_(
            const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_(&Call<std::remove_reference_t<F>>) {}

  R operator()(Args... args) const {
    return call_(callable_, std::forward<Args>(args)...);
  }

 private:
  template <class F>
  static R Call(void* callable, Args... args) {
    return std::invoke(*static_cast<F*>(callable), std::forward<Args>(args)...);
  }

  void* callable_;
  R (*call_)(void*, Args...);
};

}  // namespace marrow::store

#endif  // MARROW_STORE_FUNCTION_REF_H_
