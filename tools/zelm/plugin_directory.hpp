// Where the tool finds plug-ins: the default plug-in directory (next to the
// executable, or $ZELM_PLUGIN_DIR), the plug-in files in a directory, and
// plug-in names given on the command line.
#pragma once

#include <zelm/device_manager.hpp>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zelm::tool {

// $ZELM_PLUGIN_DIR when set and not empty; otherwise the bundled plug-in
// directory, found relative to this executable so that the build tree and
// every installed prefix work alike.
std::filesystem::path default_plugin_directory();

// The plug-in files in `directory`, chosen as the library's directory scan
// chooses them (regular files or symbolic links with a plug-in's file name,
// see zelm::is_plugin_file_name), sorted by name so that output is stable.
// Throws std::runtime_error naming the directory when it is missing or not a
// directory, and std::filesystem::filesystem_error when it cannot be read.
std::vector<std::filesystem::path> plugin_files(std::filesystem::path const& directory);

// A file in `directory` that would be taken for a plug-in but for
// "_manager" missing from its name, such as CMake's default "lib<target>.so";
// none when there is none or the directory cannot be read.
std::optional<std::filesystem::path> misnamed_library(std::filesystem::path const& directory);

// A bare file name ("sim_manager.so") names a file in the default plug-in
// directory, and only there: a file of that name in the current directory,
// which another user may have planted in a shared directory, is never loaded
// by accident (a plug-in runs with the caller's rights). Any other path
// ("./sim_manager.so", "lib/x_manager.so", an absolute path) is taken as it
// is.
std::filesystem::path resolve_plugin(std::filesystem::path const& plugin);

// The library's "Failed to create manager: <canonical path> <reason>" with a
// colon after the path ("...: <reason>"), where people look for where the
// path ends; any other message unchanged.
std::string with_separated_path(std::string const& message, std::filesystem::path const& canonical);

// get_device_manager(plugin), whose failure to create the manager is told
// as with_separated_path tells it. Throws what get_device_manager throws.
std::shared_ptr<DeviceManager> load_plugin(std::filesystem::path const& plugin);

}  // namespace zelm::tool
