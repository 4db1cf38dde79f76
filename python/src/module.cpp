// The extension module zelm._zelm: the library's scan, managers, ownership,
// devices and streams in Python terms. Each part binds itself from a file of
// its own; the package's __init__.py re-exports what users import.
#include "bindings.hpp"

#include <string>

PYBIND11_MODULE(_zelm, module) {
    module.doc() = "Find hardware devices through plug-ins and own them across processes.";
    // Classes and functions belong to the package, where users import them
    // from: zelm.Device, not zelm._zelm.Device, in reprs, tracebacks, pickles
    // and help(). pybind11 names them after their scope's __module__.
    auto const name = module.attr("__name__").cast<std::string>();
    module.attr("__module__") = name.substr(0, name.rfind('.'));
    module.attr("__version__") = ZELM_VERSION;
    zelm::python::bind_interpreter_exit(module);
    zelm::python::bind_errors(module);
    zelm::python::bind_plugin_directory(module);
    zelm::python::bind_managers(module);
    zelm::python::bind_stream(module);
    zelm::python::bind_device(module);
    zelm::python::bind_ownership(module);
    zelm::python::bind_cluster(module);
    zelm::python::bind_scan(module);
    zelm::python::bind_logging(module);
}
