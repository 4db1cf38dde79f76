// The library's typed errors. Their destructors are defined here, once, so
// that each type has one type identity for hosts and plug-ins alike.
#include <zelm/errors.hpp>

#include <utility>

namespace zelm {

PluginLoadError::PluginLoadError(std::string const& message, std::filesystem::path plugin_path, std::string reason)
    : std::runtime_error(message), plugin_path_(std::move(plugin_path)), reason_(std::move(reason)) {}

PluginLoadError::~PluginLoadError() = default;

LockUnusableError::LockUnusableError(std::string const& message, std::filesystem::path path)
    : std::runtime_error(message), path_(std::move(path)) {}

LockUnusableError::~LockUnusableError() = default;
UnsafeLockDirectoryError::~UnsafeLockDirectoryError() = default;
LockFileError::~LockFileError() = default;

}  // namespace zelm
