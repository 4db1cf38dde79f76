// The last scan's table in a private per-user file.
#include "last_scan.hpp"

#include "file_descriptor.hpp"
#include "usage_error.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>
#include <variant>

namespace zelm::tool {

namespace fs = std::filesystem;

namespace {

constexpr char const* file_name = "last-scan.json";
// Far above a scan of 100,000 devices, and far below what would strain memory.
constexpr off_t max_file_size = off_t{256} << 20;
// {"rows": [{...}, ...]}: nothing in the file nests deeper.
constexpr int max_file_depth = 3;

[[noreturn]] void throw_errno(std::string const& doing, fs::path const& path) {
    throw std::runtime_error(fmt::format("{} {}: {}", doing, path.native(), std::generic_category().message(errno)));
}

std::string const& plugin_path(ScanResult const& result) {
    return std::visit([](auto const& r) -> std::string const& { return r.plugin_path; }, result);
}

std::string const& description_text(ScanResult const& result) {
    return std::visit([](auto const& r) -> std::string const& { return r.description; }, result);
}

std::string file_text(std::vector<TableEntry> const& entries) {
    auto rows = nlohmann::json::array();
    for (auto const& entry : entries) {
        rows.push_back({{"plugin", entry.plugin.native()}, {"description", entry.description}});
    }
    // Text from plug-ins and file names may hold bytes that are not UTF-8.
    return nlohmann::json{{"rows", rows}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// The file's JSON, refused before it nests deeper than any table.
nlohmann::json parse_within_depth(std::string const& text) {
    using Event = nlohmann::json::parse_event_t;
    return nlohmann::json::parse(text, [](int depth, Event event, nlohmann::json&) {
        if ((event == Event::object_start || event == Event::array_start) && depth >= max_file_depth) {
            throw std::length_error("nested too deep");
        }
        return true;
    });
}

std::vector<TableEntry> entries_of(std::string const& text, fs::path const& path) {
    try {
        auto const file = parse_within_depth(text);
        std::vector<TableEntry> entries;
        for (auto const& row : file.at("rows")) {
            entries.push_back({row.at("plugin").get<std::string>(), row.at("description").get<std::string>()});
        }
        return entries;
    } catch (...) {
        throw std::runtime_error(fmt::format("{}: not a table saved by zelm scan", path.native()));
    }
}

void write_all(int fd, std::string_view text, fs::path const& path) {
    while (!text.empty()) {
        auto const written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            throw_errno("cannot write", path);
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

std::string read_all(int fd, fs::path const& path) {
    std::string text;
    char buffer[65536];
    for (;;) {
        auto const got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw_errno("cannot read", path);
        }
        if (got == 0) {
            return text;
        }
        if (static_cast<off_t>(text.size()) + got > max_file_size) {
            throw std::runtime_error(path.native() + ": larger than any saved table");
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace

fs::path last_scan_directory() {
    if (char const* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && fs::path(runtime).is_absolute()) {
        return fs::path(runtime) / "zelm";
    }
    return fs::temp_directory_path() / fmt::format("zelm-{}", ::geteuid());
}

void ensure_private_directory(fs::path const& directory) {
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        throw_errno("cannot create directory", directory);
    }
    struct stat status {};
    if (::lstat(directory.c_str(), &status) != 0) {
        throw_errno("cannot inspect directory", directory);
    }
    if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid() || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        throw std::runtime_error(fmt::format(
            "{}: not a directory of the caller's that only the caller may change; remove it", directory.native()));
    }
}

std::vector<TableEntry> table_entries(std::vector<ScannedDevice> const& devices) {
    std::vector<TableEntry> entries;
    entries.reserve(devices.size());
    for (auto const& device : devices) {
        entries.push_back({fs::absolute(plugin_path(device.result)), description_text(device.result)});
    }
    return entries;
}

void save_last_scan(fs::path const& directory, std::vector<TableEntry> const& entries) {
    ensure_private_directory(directory);
    auto const target = directory / file_name;
    auto partial = (directory / (std::string(file_name) + ".XXXXXX")).native();
    FileDescriptor const fd(::mkostemp(partial.data(), O_CLOEXEC));
    if (!fd) {
        throw_errno("cannot create", partial);
    }
    try {
        write_all(fd.get(), file_text(entries), partial);
        if (std::rename(partial.c_str(), target.c_str()) != 0) {
            throw_errno("cannot replace", target);
        }
    } catch (...) {
        ::unlink(partial.c_str());
        throw;
    }
}

std::vector<TableEntry> load_last_scan(fs::path const& directory) {
    ensure_private_directory(directory);
    auto const path = directory / file_name;
    FileDescriptor const fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd && errno == ENOENT) {
        throw UsageError("no scan's table to take a row from: run `zelm scan` first");
    }
    if (!fd) {
        throw_errno("cannot open", path);
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        throw_errno("cannot inspect", path);
    }
    if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid() || status.st_size > max_file_size) {
        throw std::runtime_error(path.native() + ": not a table saved by zelm scan");
    }
    return entries_of(read_all(fd.get(), path), path);
}

}  // namespace zelm::tool
