// A Python object parameter (or result) that help() names by the Python type
// it stands for, as the type stubs name it, rather than "object" or "handle":
// pybind11 writes each signature from its casters' names.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>

namespace zelm::python {

// A type's name as a template argument.
template <std::size_t Size>
struct TypeName {
    // NOLINTNEXTLINE(google-explicit-constructor): written as a string literal
    constexpr TypeName(char const (&name)[Size]) { std::copy_n(name, Size, text); }
    char text[Size]{};
};

inline int any_object(PyObject*) { return 1; }

// Any object that `Accepts` takes (any object by default); one that it
// refuses fails the call's argument conversion, as a wrong type does.
template <TypeName Name, int (*Accepts)(PyObject*) = any_object>
class Typed : public pybind11::object {
public:
    using object::object;
    Typed() = default;
    explicit Typed(object value) : object(std::move(value)) {}

    static bool check_(pybind11::handle value) { return value.ptr() != nullptr && Accepts(value.ptr()) != 0; }
};

}  // namespace zelm::python

namespace pybind11::detail {

template <zelm::python::TypeName Name, int (*Accepts)(PyObject*)>
struct handle_type_name<zelm::python::Typed<Name, Accepts>> {
    static constexpr auto name = const_name(Name.text);
};

}  // namespace pybind11::detail
