// Where the module finds plug-ins when it is not told: the default plug-in
// directory, and the plug-in that a bare file name names.
#pragma once

#include <pybind11/pybind11.h>

#include <filesystem>

namespace zelm::python {

// $ZELM_PLUGIN_DIR when set and not empty; otherwise the plug-in directory
// bundled with the package, found relative to the package's own directory
// (as the zelm tool finds it relative to its executable), so that the build
// tree and every installed prefix work alike.
std::filesystem::path default_plugin_directory();

// A bare file name ("sim_manager.so") names a file in the default plug-in
// directory, and only there: a file of that name in the working directory,
// which another user may have planted in a shared directory, is never loaded
// by accident (a plug-in runs with the caller's rights). Any other path
// ("./sim_manager.so", "lib/x_manager.so", an absolute path) is taken as it
// is.
std::filesystem::path resolve_plugin(std::filesystem::path const& plugin);

}  // namespace zelm::python
