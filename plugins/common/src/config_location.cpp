#include "config_location.hpp"

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace zelm::plugin {
namespace {

// Any object of the plug-in serves to ask the dynamic loader which file it
// came from.
char const path_anchor = 0;

}  // namespace

std::filesystem::path own_plugin_file() {
    Dl_info info{};
    if (dladdr(&path_anchor, &info) == 0 || info.dli_fname == nullptr) {
        throw std::runtime_error("cannot find the plug-in's own file through dladdr");
    }
    return info.dli_fname;
}

std::filesystem::path config_beside(std::filesystem::path const& plugin_file) {
    return plugin_file.parent_path() / (plugin_file.stem().native() + ".json");
}

std::optional<std::filesystem::path> find_config_file(std::filesystem::path const& plugin_file, char const* variable) {
    if (char const* file = std::getenv(variable); file != nullptr && *file != '\0') {
        return std::filesystem::path(file);
    }
    auto beside = config_beside(plugin_file);
    std::error_code error;
    if (std::filesystem::symlink_status(beside, error).type() != std::filesystem::file_type::not_found) {
        return beside;
    }
    return std::nullopt;
}

std::string read_config_text(std::filesystem::path const& file, std::string const& error_prefix) {
    std::error_code error;
    auto const type = std::filesystem::status(file, error).type();
    if (type == std::filesystem::file_type::not_found) {
        throw ConfigFileError(error_prefix + "no such file");
    }
    if (error || type != std::filesystem::file_type::regular) {
        throw ConfigFileError(error_prefix + (error ? error.message() : "not a regular file"));
    }
    std::ifstream stream(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    if (!stream.is_open() || stream.bad()) {
        throw ConfigFileError(error_prefix + "cannot read: " + std::strerror(errno));
    }
    return text;
}

}  // namespace zelm::plugin
