// Integers from Python checked against the C++ type they are given to, so
// that a number out of range raises OverflowError naming the parameter, as
// Python's own conversions do, instead of failing the call's argument
// conversion as a wrong type would.
#pragma once

#include "typed_object.hpp"

#include <pybind11/pybind11.h>

#include <concepts>
#include <limits>
#include <string>
#include <string_view>

namespace zelm::python {

// Any integer: an int, or an object with __index__ (a numpy integer, say).
using Integer = Typed<"int", PyIndex_Check>;

namespace detail {

// `number` as Python's int, or for one beyond 64 bits its size: a huge
// number's digits say nothing a person reads.
std::string number_text(pybind11::int_ const& number);

[[noreturn]] void throw_out_of_range(std::string_view parameter, pybind11::int_ const& number,
                                     pybind11::int_ const& least, pybind11::int_ const& most);

}  // namespace detail

// The value of `number` (the parameter `parameter`) when it lies between
// the type's least value and `most`. Throws pybind11::error_already_set
// (OverflowError) otherwise.
template <std::integral T>
T in_range(Integer const& number, std::string_view parameter, T most = std::numeric_limits<T>::max()) {
    auto const value = pybind11::reinterpret_steal<pybind11::int_>(PyNumber_Index(number.ptr()));
    if (!value) {
        throw pybind11::error_already_set();
    }
    pybind11::int_ const least(std::numeric_limits<T>::min());
    pybind11::int_ const greatest(most);
    if (value < least || value > greatest) {
        detail::throw_out_of_range(parameter, value, least, greatest);
    }
    return value.cast<T>();
}

}  // namespace zelm::python
