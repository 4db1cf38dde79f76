// scan_devices_dir: the plug-ins of one directory, picked by file name.
#include <zelm/scan.hpp>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <system_error>

namespace zelm {
namespace {

// A regular file (through links) or any symbolic link with a plug-in's file
// name. A link that cannot be followed (a loop, say) is still a link:
// loading it fails for that plug-in alone.
bool is_plugin_file(std::filesystem::directory_entry const& entry) {
    std::error_code ignored;
    return (entry.is_regular_file(ignored) || entry.is_symlink(ignored)) && is_plugin_file_name(entry.path());
}

// The plug-in files of a directory that exists, in directory-listing order.
std::vector<std::filesystem::path> plugin_files_of(std::filesystem::path const& directory) {
    std::vector<std::filesystem::path> plugins;
    for (auto const& entry : std::filesystem::directory_iterator(directory)) {
        if (is_plugin_file(entry)) {
            plugins.push_back(entry.path());
        }
    }
    return plugins;
}

std::optional<std::errc> unusable_directory(std::filesystem::file_status const& status) {
    if (!std::filesystem::exists(status)) {
        return std::errc::no_such_file_or_directory;
    }
    if (!std::filesystem::is_directory(status)) {
        return std::errc::not_a_directory;
    }
    return std::nullopt;
}

}  // namespace

bool is_plugin_file_name(std::filesystem::path const& path) {
    static constexpr std::array<std::string_view, 3> extensions{".dylib", ".dll", ".so"};
    return std::ranges::find(extensions, path.extension().native()) != extensions.end() &&
           path.filename().native().find("_manager") != std::string::npos;
}

std::vector<std::filesystem::path> list_plugin_files(std::filesystem::path const& directory) {
    if (auto const error = unusable_directory(std::filesystem::status(directory))) {
        throw std::filesystem::filesystem_error("Cannot list plug-ins", directory, std::make_error_code(*error));
    }
    auto plugins = plugin_files_of(directory);
    std::ranges::sort(plugins);
    return plugins;
}

ScanResults scan_devices_dir(std::filesystem::path const& directory) {
    if (unusable_directory(std::filesystem::status(directory))) {
        spdlog::warn("Manager directory does not exist or is not a directory: {}", directory.native());
        return {};
    }
    return scan_devices(plugin_files_of(directory));
}

}  // namespace zelm
