#include "plugin_directory.hpp"

#include "bindings.hpp"
#include "typed_object.hpp"

#include <pybind11/stl/filesystem.h>

#include <cstdlib>
#include <string>

namespace py = pybind11;

namespace zelm::python {

namespace {

// Found once, at import: the working directory may change afterwards.
std::filesystem::path bundled_directory;

// The package's module _bundled, which the build writes for its layout (the
// build tree's or an installed prefix's), holds the bundled directory
// relative to the package's directory.
std::filesystem::path bundled_directory_of(py::module_ const& module) {
    auto const layout = py::module_::import((module.attr("__module__").cast<std::string>() + "._bundled").c_str());
    auto const file = layout.attr("__file__").cast<std::filesystem::path>();
    auto const package = std::filesystem::canonical(file).parent_path();
    return (package / layout.attr("PLUGIN_DIRECTORY").cast<std::filesystem::path>()).lexically_normal();
}

}  // namespace

std::filesystem::path default_plugin_directory() {
    if (char const* overridden = std::getenv("ZELM_PLUGIN_DIR"); overridden != nullptr && *overridden != '\0') {
        return overridden;
    }
    return bundled_directory;
}

std::filesystem::path resolve_plugin(std::filesystem::path const& plugin) {
    return plugin.has_parent_path() ? plugin : default_plugin_directory() / plugin;
}

void bind_plugin_directory(py::module_& module) {
    bundled_directory = bundled_directory_of(module);
    module.def(
        "default_plugin_directory",
        [] { return Typed<"pathlib.Path">(py::cast(default_plugin_directory())); },
        "The directory that zelm.scan() scans when given nothing, and where a bare plug-in file name "
        "(\"sim_manager.so\") given to zelm.scan, zelm.load or zelm.open is looked up: $ZELM_PLUGIN_DIR when set "
        "and not empty, else the plug-ins installed with this package.");
}

}  // namespace zelm::python
