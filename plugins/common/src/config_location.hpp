// Where a bundled plug-in finds its configuration file: the file that the
// family's environment variable names, else the file named after the plug-in
// file's stem beside it (sim_manager.so reads sim_manager.json), so that each
// copy of a plug-in can carry a configuration of its own.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace zelm::plugin {

// A configuration file that cannot be read; the message names the file.
class ConfigFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The plug-in file that contains the calling code, found through dladdr.
// Throws std::runtime_error when the dynamic loader cannot tell.
std::filesystem::path own_plugin_file();

// The configuration file that belongs to a plug-in file, beside it.
std::filesystem::path config_beside(std::filesystem::path const& plugin_file);

// The file that `variable` names when it is set and not empty; else the file
// beside `plugin_file` when anything is there (a file that is there but
// unusable is an error for the reader, or a typo would go unnoticed); else
// none, and the family uses its defaults.
std::optional<std::filesystem::path> find_config_file(std::filesystem::path const& plugin_file, char const* variable);

// The whole text of a regular file. Throws ConfigFileError starting with
// `error_prefix` and saying why ("no such file", "not a regular file", ...).
std::string read_config_text(std::filesystem::path const& file, std::string const& error_prefix);

}  // namespace zelm::plugin
