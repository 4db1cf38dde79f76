// Fuzz target: the file names (and kinds) in a plug-in directory. The
// directory scan tries exactly the entries that are regular files (through
// links) or symbolic links of any kind, whose extension is ".so", ".dll" or
// ".dylib" and whose name contains "_manager", in directory order; none of
// the files here loads, so each try shows as one warning naming the path.
// Whatever the entries, the scan never throws for them.
//
// Input: entries separated by '/' or NUL (neither can be in a file name).
// An entry's first character picks its kind when it is one of these, and
// the rest is the name: 'f' empty file, 'l' link to a file, 'L' link to a
// directory, 'd' dangling link, 'o' link to itself, 'D' directory, 'p' FIFO.
// Any other entry is an empty file with the whole entry as its name.
#include "harness.hpp"

#include <zelm/scan.hpp>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace zelm::fuzz {
namespace {

namespace fs = std::filesystem;

// Keeps the text of every warning.
class WarningSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<std::string> warnings;

protected:
    void sink_it_(spdlog::details::log_msg const& message) override {
        if (message.level == spdlog::level::warn) {
            warnings.emplace_back(message.payload.data(), message.payload.size());
        }
    }
    void flush_() override {}
};

enum class EntryKind { file, link_to_file, link_to_directory, dangling_link, self_link, directory, fifo };

struct Entry {
    EntryKind kind;
    std::string name;
};

Entry entry_of(std::string_view text) {
    static constexpr std::string_view kinds = "flLdoDp";
    auto const kind = text.empty() ? std::string_view::npos : kinds.find(text.front());
    if (kind == std::string_view::npos || text.size() == 1) {
        return {EntryKind::file, std::string(text)};
    }
    return {static_cast<EntryKind>(kind), std::string(text.substr(1))};
}

bool valid_name(std::string const& name) { return !name.empty() && name != "." && name != ".." && name.size() <= 255; }

std::vector<Entry> entries_of(std::string_view input) {
    std::vector<Entry> entries;
    std::set<std::string> names;
    std::size_t start = 0;
    while (start <= input.size()) {
        auto const end = std::min(input.find_first_of(std::string_view("/\0", 2), start), input.size());
        auto entry = entry_of(input.substr(start, end - start));
        if (valid_name(entry.name) && names.insert(entry.name).second) {
            entries.push_back(std::move(entry));
        }
        start = end + 1;
    }
    return entries;
}

void create(fs::path const& directory, Entry const& entry, fs::path const& targets) {
    auto const path = directory / entry.name;
    switch (entry.kind) {
    case EntryKind::file:
        std::ofstream{path};
        break;
    case EntryKind::link_to_file:
        fs::create_symlink(targets / "file", path);
        break;
    case EntryKind::link_to_directory:
        fs::create_directory_symlink(targets / "directory", path);
        break;
    case EntryKind::dangling_link:
        fs::create_symlink(targets / "missing", path);
        break;
    case EntryKind::self_link:
        fs::create_symlink(entry.name, path);
        break;
    case EntryKind::directory:
        fs::create_directory(path);
        break;
    case EntryKind::fifo:
        require(mkfifo(path.c_str(), 0600) == 0, "mkfifo in the plug-in directory");
        break;
    }
}

// The documented selection, from the name's bytes and lstat/stat alone.
bool selected(fs::path const& path) {
    auto const name = path.filename().native();
    auto const dot = name.rfind('.');
    auto const extension = dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
    bool const plugin_name = (extension == ".so" || extension == ".dll" || extension == ".dylib") &&
                             name.find("_manager") != std::string::npos;
    struct stat link {};
    struct stat target {};
    bool const is_link = lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
    bool const is_file = stat(path.c_str(), &target) == 0 && S_ISREG(target.st_mode);
    return plugin_name && (is_link || is_file);
}

}  // namespace

void run_one(std::string_view input) {
    static auto const sink = std::make_shared<WarningSink>();
    static auto const setup = [] {
        spdlog::set_default_logger(std::make_shared<spdlog::logger>("fuzz", sink));
        return 0;
    }();
    static_cast<void>(setup);
    auto const base = fs::temp_directory_path();
    auto const directory = base / "plugins";
    auto const targets = base / "targets";
    fs::remove_all(directory);
    fs::create_directories(directory);
    fs::create_directories(targets / "directory");
    std::ofstream{targets / "file"};
    for (auto const& entry : entries_of(input)) {
        create(directory, entry, targets);
    }

    std::vector<std::string> expected;
    for (auto const& entry : fs::directory_iterator(directory)) {
        if (selected(entry.path())) {
            expected.push_back("Scanner skipped manager " + entry.path().native() + ": ");
        }
    }
    sink->warnings.clear();
    ScanResults results;
    try {
        results = scan_devices_dir(directory);
    } catch (std::exception const& e) {
        fail(std::string("the directory scan threw for its entries: ") + e.what());
    }
    require(results.empty(), "nothing in the directory loads");
    require(sink->warnings.size() == expected.size(), "one warning per selected entry, none for the others");
    for (std::size_t i = 0; i < expected.size(); ++i) {
        require(sink->warnings[i].starts_with(expected[i]), "selected entries are tried in directory order");
    }
}

}  // namespace zelm::fuzz
