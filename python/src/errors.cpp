#include "bindings.hpp"

namespace zelm::python {

void bind_errors(pybind11::module_& module) {
    static pybind11::exception<std::exception> const error(module, "Error");
    error.doc() = "Every error of the library, with the library's message unchanged.";
}

}  // namespace zelm::python
