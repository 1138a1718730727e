// The binder between the Engine's method table and its plain `*_impl`
// functions. A table row is
//
//   method<"run($self, steps)\n--\n\n", Access::exclusive, run_impl>()
//
// and the docstring is the one place that names the method and its
// parameters: the name is the text before '(' and the parameters follow
// `$self`, read at compile time. The generated function binds the call's
// arguments to those names (with the interpreter's TypeErrors for missing,
// surplus, repeated or unknown ones), takes the engine's borrow flag,
// converts each argument in order to the type the impl takes (stopping at
// the first failure, whose exception carries the note "while processing
// '<name>'"), calls the impl and gives the access back on every path, C++
// exceptions included. Impls without parameters get METH_NOARGS.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/arguments.hpp"
#include "python/borrow.hpp"
#include "python/engine_type.hpp"
#include "python/errors.hpp"

namespace vorn::python {

// A docstring as a template argument.
template <std::size_t N>
struct Doc {
  char text[N]{};
  constexpr Doc(const char (&s)[N]) {
    for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
  }
  static constexpr std::size_t kMaxParams = 8;
  static constexpr std::size_t kMaxName = 32;

  constexpr std::size_t name_length() const {
    std::size_t n = 0;
    while (text[n] != '(') ++n;
    return n;
  }
  // The parameters after "$self", as names of at most kMaxName - 1 letters.
  constexpr auto params() const {
    std::array<std::array<char, kMaxName>, kMaxParams> out{};
    std::size_t count = 0, at = name_length() + 1;
    while (text[at] != ',' && text[at] != ')') ++at;  // skip "$self"
    while (text[at] == ',') {
      at += 2;  // ", "
      std::size_t k = 0;
      while (text[at] != ',' && text[at] != ')') out[count][k++] = text[at++];
      ++count;
    }
    return std::pair{out, count};
  }
};

template <Doc D>
struct Signature {
  static constexpr std::size_t kNameLength = D.name_length();
  // "name"
  static constexpr auto name = [] {
    std::array<char, kNameLength + 1> out{};
    for (std::size_t i = 0; i < kNameLength; ++i) out[i] = D.text[i];
    return out;
  }();
  // "Engine.name()", as the interpreter's messages name a method.
  static constexpr auto qualified = [] {
    constexpr char prefix[] = "Engine.";
    std::array<char, sizeof(prefix) - 1 + kNameLength + 3> out{};
    std::size_t k = 0;
    for (std::size_t i = 0; i + 1 < sizeof(prefix); ++i) out[k++] = prefix[i];
    for (std::size_t i = 0; i < kNameLength; ++i) out[k++] = D.text[i];
    out[k++] = '(';
    out[k++] = ')';
    return out;
  }();
  static constexpr auto parsed = D.params();
  static constexpr std::size_t count = parsed.second;
  static constexpr auto names = [] {
    std::array<const char*, count == 0 ? 1 : count> out{};
    for (std::size_t i = 0; i < count; ++i) out[i] = parsed.first[i].data();
    return out;
  }();
};

template <class Impl>
struct ImplTraits;
template <class... Args>
struct ImplTraits<PyObject* (*)(RewriteEngine&, Args...)> {
  static constexpr std::size_t arity = sizeof...(Args);
  using Values = std::tuple<std::decay_t<Args>...>;
};

// Converts the bound arguments in order into the impl's parameter types and
// calls it; null when a conversion fails.
template <auto Impl, std::size_t... I>
PyObject* convert_and_call(RewriteEngine& engine, PyObject* const* bound, const char* const* names,
                           std::index_sequence<I...>) {
  typename ImplTraits<decltype(Impl)>::Values values;
  const bool converted = (convert(bound[I], names[I], std::get<I>(values)) && ...);
  if (!converted) return nullptr;
  return Impl(engine, std::move(std::get<I>(values))...);
}

template <Doc D, Access A, auto Impl>
PyObject* fastcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using S = Signature<D>;
  static_assert(ImplTraits<decltype(Impl)>::arity == S::count,
                "the docstring's parameters and the impl's disagree");
  return guarded(S::qualified.data(), nullptr, [&]() -> PyObject* {
    PyObject* bound[S::count];
    if (!bind_fastcall(S::qualified.data(), S::names.data(), S::count, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    BorrowGuard guard(reinterpret_cast<EngineObject*>(self), A);
    if (!guard) return nullptr;
    return convert_and_call<Impl>(reinterpret_cast<EngineObject*>(self)->engine, bound, S::names.data(),
                                  std::make_index_sequence<S::count>());
  });
}

template <Doc D, Access A, auto Impl>
PyObject* noargs_method(PyObject* self, PyObject*) {
  using S = Signature<D>;
  return guarded(S::qualified.data(), nullptr, [&]() -> PyObject* {
    BorrowGuard guard(reinterpret_cast<EngineObject*>(self), A);
    if (!guard) return nullptr;
    return Impl(reinterpret_cast<EngineObject*>(self)->engine);
  });
}

template <class Function>
PyCFunction as_cfunction(Function function) {
  // The interpreter calls through the signature that the flags announce.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// One row of the method table.
template <Doc D, Access A, auto Impl>
PyMethodDef method() {
  if constexpr (ImplTraits<decltype(Impl)>::arity == 0) {
    return {Signature<D>::name.data(), as_cfunction(&noargs_method<D, A, Impl>), METH_NOARGS, D.text};
  } else {
    return {Signature<D>::name.data(), as_cfunction(&fastcall_method<D, A, Impl>),
            METH_FASTCALL | METH_KEYWORDS, D.text};
  }
}

}  // namespace vorn::python
