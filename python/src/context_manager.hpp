// `with` for a class whose instances are closed: __enter__ gives the
// instance itself, __exit__ closes it and lets any exception pass on.
#pragma once

#include "typed_object.hpp"

#include <pybind11/pybind11.h>

namespace zelm::python {

template <typename Class, typename... Options>
void bind_closing_context(pybind11::class_<Class, Options...>& type, char const* exit_doc) {
    namespace py = pybind11;
    using ExceptionType = Typed<"Optional[type[BaseException]]">;
    using Exception = Typed<"Optional[BaseException]">;
    using Traceback = Typed<"Optional[types.TracebackType]">;
    // The instance's own Python object, not a new one.
    type.def("__enter__", [](Class& self) -> Class& { return self; }, py::return_value_policy::reference);
    type.def(
        "__exit__", [](Class& self, ExceptionType const&, Exception const&, Traceback const&) { self.close(); },
        py::arg("exc_type"), py::arg("exc"), py::arg("traceback"), exit_doc);
}

}  // namespace zelm::python
