// scan_devices_dir: the plug-ins of one directory, picked by file name.
#include <zelm/scan.hpp>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <string_view>

namespace zelm {
namespace {

// A regular file (through links) or any symbolic link with a plug-in's file
// name. A link that cannot be followed (a loop, say) is still a link:
// loading it fails for that plug-in alone.
bool is_plugin_file(std::filesystem::directory_entry const& entry) {
    std::error_code ignored;
    return (entry.is_regular_file(ignored) || entry.is_symlink(ignored)) && is_plugin_file_name(entry.path());
}

}  // namespace

bool is_plugin_file_name(std::filesystem::path const& path) {
    static constexpr std::array<std::string_view, 3> extensions{".dylib", ".dll", ".so"};
    return std::ranges::find(extensions, path.extension().native()) != extensions.end() &&
           path.filename().native().find("_manager") != std::string::npos;
}

ScanResults scan_devices_dir(std::filesystem::path const& directory) {
    auto const status = std::filesystem::status(directory);
    if (!std::filesystem::exists(status) || !std::filesystem::is_directory(status)) {
        spdlog::warn("Manager directory does not exist or is not a directory: {}", directory.native());
        return {};
    }
    std::vector<std::filesystem::path> plugins;
    for (auto const& entry : std::filesystem::directory_iterator(directory)) {
        if (is_plugin_file(entry)) {
            plugins.push_back(entry.path());
        }
    }
    return scan_devices(plugins);
}

}  // namespace zelm
