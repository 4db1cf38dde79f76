// Plug-in directory resolution and plug-in file selection.
#include "plugin_directory.hpp"

#include <zelm/scan.hpp>

#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>

namespace zelm::tool {

namespace fs = std::filesystem;

fs::path default_plugin_directory() {
    if (char const* overridden = std::getenv("ZELM_PLUGIN_DIR"); overridden != nullptr && *overridden != '\0') {
        return overridden;
    }
    auto const executable = fs::read_symlink("/proc/self/exe");
    return (executable.parent_path() / ZELM_PLUGIN_DIR_FROM_BIN).lexically_normal();
}

std::vector<fs::path> plugin_files(fs::path const& directory) {
    try {
        return list_plugin_files(directory);
    } catch (fs::filesystem_error const& e) {
        std::throw_with_nested(
            std::runtime_error("plug-in directory " + directory.native() + ": " + e.code().message()));
    }
}

std::optional<fs::path> misnamed_library(fs::path const& directory) {
    std::error_code error;
    for (auto const& entry : fs::directory_iterator(directory, error)) {
        auto const& path = entry.path();
        auto const named_as_plugin = path.parent_path() / (path.stem().native() + "_manager" + path.extension().native());
        if (entry.is_regular_file(error) && !is_plugin_file_name(path) && is_plugin_file_name(named_as_plugin)) {
            return path;
        }
    }
    return std::nullopt;
}

fs::path resolve_plugin(fs::path const& plugin) {
    return plugin.has_parent_path() ? plugin : default_plugin_directory() / plugin;
}

}  // namespace zelm::tool
