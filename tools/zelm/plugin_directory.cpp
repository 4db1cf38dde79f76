// Plug-in directory resolution and plug-in file selection.
#include "plugin_directory.hpp"

#include <zelm/scan.hpp>

#include <algorithm>
#include <cstdlib>
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

namespace {

bool is_plugin_file(fs::directory_entry const& entry) {
    auto const type = entry.symlink_status().type();
    return (type == fs::file_type::regular || type == fs::file_type::symlink) && is_plugin_file_name(entry.path());
}

}  // namespace

std::vector<fs::path> plugin_files(fs::path const& directory) {
    if (!fs::is_directory(directory)) {
        throw std::runtime_error("plug-in directory " + directory.native() + ": does not exist or is not a directory");
    }
    std::vector<fs::path> files;
    for (auto const& entry : fs::directory_iterator(directory)) {
        if (is_plugin_file(entry)) {
            files.push_back(entry.path());
        }
    }
    std::ranges::sort(files);
    return files;
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

std::string with_separated_path(std::string const& message, std::filesystem::path const& canonical) {
    auto const unseparated = "Failed to create manager: " + canonical.native() + " ";
    if (!message.starts_with(unseparated)) {
        return message;
    }
    return unseparated.substr(0, unseparated.size() - 1) + ": " + message.substr(unseparated.size());
}

std::shared_ptr<DeviceManager> load_plugin(std::filesystem::path const& plugin) {
    try {
        return get_device_manager(plugin);
    } catch (std::runtime_error const& e) {
        std::error_code ignored;
        auto const canonical = std::filesystem::canonical(plugin, ignored);
        auto message = with_separated_path(e.what(), canonical);
        if (message == e.what()) {
            throw;
        }
        throw std::runtime_error(message);
    }
}

}  // namespace zelm::tool
