// The failures a caller acts on, as types. Each is a std::runtime_error with
// the library's one-line message, so code that catches std::runtime_error (or
// shows what()) keeps working; code that decides what to do catches the type
// and never reads the message.
//
// Elsewhere: zelm::DeviceOccupiedError (<zelm/owner.hpp>), and in a cluster
// zelm::cluster::UnavailableError, HeldElsewhereError and OwnershipLostError
// (<zelm/cluster.hpp>).
#pragma once

#include <zelm/export.hpp>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace zelm {

// A plug-in that could not be made into a manager: missing, not a regular
// file, refused by the dynamic loader, built for another interface, without
// create_manager, or one whose create_manager failed. The message is the
// loader's, for example "Failed to create manager: <canonical path> <reason>".
class ZELM_API PluginLoadError : public std::runtime_error {
public:
    PluginLoadError(std::string const& message, std::filesystem::path plugin_path, std::string reason);
    ~PluginLoadError() override;
    PluginLoadError(PluginLoadError const&) = default;
    PluginLoadError& operator=(PluginLoadError const&) = default;

    // The plug-in's canonical path, or the path as passed when it could not
    // be resolved.
    std::filesystem::path const& plugin_path() const noexcept { return plugin_path_; }
    // Why, without the path: "No such file", "not a regular file", the
    // loader's or create_manager's own words.
    std::string const& reason() const noexcept { return reason_; }

private:
    std::filesystem::path plugin_path_;
    std::string reason_;
};

// A device's ownership lock could not be taken safely, so nothing was owned
// and nothing opened. Not "occupied": nobody may hold the device.
class ZELM_API LockUnusableError : public std::runtime_error {
public:
    LockUnusableError(std::string const& message, std::filesystem::path path);
    ~LockUnusableError() override;
    LockUnusableError(LockUnusableError const&) = default;
    LockUnusableError& operator=(LockUnusableError const&) = default;

    // The lock directory, or the lock file, that was refused.
    std::filesystem::path const& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

// The lock directory is not safe to use: "Lock directory <path> is not safe:
// <reason>; <how to fix it>".
class ZELM_API UnsafeLockDirectoryError : public LockUnusableError {
public:
    using LockUnusableError::LockUnusableError;
    ~UnsafeLockDirectoryError() override;
    UnsafeLockDirectoryError(UnsafeLockDirectoryError const&) = default;
    UnsafeLockDirectoryError& operator=(UnsafeLockDirectoryError const&) = default;
};

// A device's lock file cannot be opened safely (a link, not a regular file,
// no permission): "Cannot open device lock file: <path>: <reason>".
class ZELM_API LockFileError : public LockUnusableError {
public:
    using LockUnusableError::LockUnusableError;
    ~LockFileError() override;
    LockFileError(LockFileError const&) = default;
    LockFileError& operator=(LockFileError const&) = default;
};

}  // namespace zelm
