// Where the tool finds plug-ins: the default plug-in directory (next to the
// executable, or $ZELM_PLUGIN_DIR), the plug-in files in a directory, and
// plug-in names given on the command line.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zelm::tool {

// $ZELM_PLUGIN_DIR when set and not empty; otherwise the bundled plug-in
// directory, found relative to this executable so that the build tree and
// every installed prefix work alike.
std::filesystem::path default_plugin_directory();

// The plug-in files in `directory`, as the library's list_plugin_files picks
// and sorts them. Throws std::runtime_error "plug-in directory <path>:
// <reason>" when it is missing, not a directory or cannot be read (the
// library's std::filesystem::filesystem_error nested).
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

}  // namespace zelm::tool
