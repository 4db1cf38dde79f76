#include "numbers.hpp"

#include <fmt/format.h>

namespace zelm::python::detail {

namespace py = pybind11;

std::string number_text(py::int_ const& number) {
    auto const bits = number.attr("bit_length")().cast<long long>();
    if (bits <= 64) {
        return py::str(py::handle(number)).cast<std::string>();
    }
    return fmt::format("{} integer of {} bits", number < py::int_(0) ? "a negative" : "an", bits);
}

void throw_out_of_range(std::string_view parameter, py::int_ const& number, py::int_ const& least,
                        py::int_ const& most) {
    auto const message = fmt::format("{} must be from {} to {}, not {}", parameter, number_text(least),
                                     number_text(most), number_text(number));
    PyErr_SetString(PyExc_OverflowError, message.c_str());
    throw py::error_already_set();
}

}  // namespace zelm::python::detail
