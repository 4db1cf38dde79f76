// The tool tests' fixture and output readers.
#include "tool_test_support.hpp"

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>

namespace zelm::tool_test {

void ToolTest::use_sim_config(nlohmann::json const& config) {
    auto const file = scratch() / "sim_config.json";
    std::ofstream(file) << config.dump(2);
    chosen_config_.reset();
    chosen_config_.emplace("ZELM_SIM_CONFIG", file.native());
}

Outcome ToolTest::run_ok(std::vector<std::string> const& arguments, EnvChanges const& env) {
    auto outcome = run_zelm(arguments, env);
    EXPECT_EQ(outcome.status, 0) << "zelm failed; its standard error:\n" << outcome.err;
    return outcome;
}

nlohmann::json ToolTest::run_json(std::vector<std::string> const& arguments, EnvChanges const& env) {
    auto const outcome = run_ok(arguments, env);
    auto value = nlohmann::json::parse(outcome.out, nullptr, false);
    EXPECT_FALSE(value.is_discarded()) << "not JSON:\n" << outcome.out;
    return value;
}

namespace {

std::vector<std::string> holder_arguments(std::filesystem::path const& plugin, nlohmann::json const& description,
                                          std::vector<std::string> const& options) {
    std::vector<std::string> arguments{"hold", plugin.native(), description.dump()};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return arguments;
}

}  // namespace

Holder::Holder(std::filesystem::path const& plugin, nlohmann::json const& description,
               std::vector<std::string> const& options)
    : process_(holder_arguments(plugin, description, options)) {
    auto const line = process_.read_line();
    holding_ = line && line->starts_with("holding ");
    if (!holding_) {
        ADD_FAILURE() << "zelm hold printed no holding line; it ended with:\n" << process_.finish().err;
    }
}

namespace {

std::string trimmed(std::string const& text) {
    auto const first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

struct Column {
    std::string name;
    std::size_t start;
};

// Column names are separated by at least two spaces; a name may hold one.
std::vector<Column> columns_of(std::string const& header) {
    std::vector<Column> columns;
    std::regex const name("\\S+( \\S+)*");
    for (auto it = std::sregex_iterator(header.begin(), header.end(), name); it != std::sregex_iterator(); ++it) {
        columns.push_back({it->str(), static_cast<std::size_t>(it->position())});
    }
    return columns;
}

}  // namespace

std::vector<std::map<std::string, std::string>> parse_table(std::string const& text) {
    auto const lines = lines_of(text);
    if (lines.empty()) {
        return {};
    }
    auto const columns = columns_of(lines.front());
    std::vector<std::map<std::string, std::string>> rows;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::map<std::string, std::string> row;
        for (std::size_t c = 0; c < columns.size(); ++c) {
            auto const start = columns[c].start;
            auto const end = c + 1 < columns.size() ? columns[c + 1].start : std::string::npos;
            row[columns[c].name] = start < lines[i].size() ? trimmed(lines[i].substr(start, end - start)) : "";
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

namespace {

// Library text holding JSON, as the tool embeds it: parsed, or null when empty.
nlohmann::json embedded(std::string const& text) {
    return text.empty() ? nlohmann::json(nullptr) : nlohmann::json::parse(text);
}

void expect_record(nlohmann::json const& object, DeviceFound const& found) {
    EXPECT_EQ(object.at("state"), "found");
    EXPECT_EQ(object.at("plugin_path"), found.plugin_path);
    EXPECT_EQ(object.at("description"), embedded(found.description));
    EXPECT_EQ(object.at("serial_number"), found.serial_number);
    EXPECT_EQ(object.at("api"), found.api);
    EXPECT_EQ(object.at("info"), embedded(found.info));
    EXPECT_EQ(object.at("status"), embedded(found.status));
}

void expect_record(nlohmann::json const& object, DeviceOccupied const& occupied) {
    EXPECT_EQ(object.at("state"), "occupied");
    EXPECT_EQ(object.at("plugin_path"), occupied.plugin_path);
    EXPECT_EQ(object.at("description"), embedded(occupied.description));
    // The owner is the tool's own addition; tests of owners check its value.
    EXPECT_TRUE(object.contains("owner")) << object.dump();
    EXPECT_EQ(object.size(), 4U) << object.dump();
}

void expect_record(nlohmann::json const& object, DeviceQueryFailed const& failed) {
    EXPECT_EQ(object.at("state"), "failed");
    EXPECT_EQ(object.at("plugin_path"), failed.plugin_path);
    EXPECT_EQ(object.at("description"), embedded(failed.description));
    EXPECT_EQ(object.at("error"), failed.error);
    EXPECT_EQ(object.size(), 4U) << object.dump();
}

}  // namespace

void expect_same_record(nlohmann::json const& object, ScanResult const& result) {
    SCOPED_TRACE(object.dump());
    std::visit([&object](auto const& record) { expect_record(object, record); }, result);
}

std::string description_of(ScanResult const& result) {
    return std::visit([](auto const& record) { return record.description; }, result);
}

nlohmann::json sim_config(nlohmann::json const& devices) { return {{"devices", devices}}; }

namespace {

bool is_zombie(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string const text{std::istreambuf_iterator<char>(stat), std::istreambuf_iterator<char>()};
    auto const name_end = text.rfind(") ");
    return name_end != std::string::npos && name_end + 2 < text.size() &&
           (text[name_end + 2] == 'Z' || text[name_end + 2] == 'X');
}

}  // namespace

bool has_ended(pid_t pid) {
    auto const limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        if ((kill(pid, 0) != 0 && errno == ESRCH) || is_zombie(pid)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= limit) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::set<pid_t> event_writers(std::filesystem::path const& events) {
    std::set<pid_t> pids;
    for (auto const& line : test::read_events(events)) {
        std::istringstream fields(line);
        std::string event;
        pid_t pid = 0;
        if (fields >> event >> pid) {
            pids.insert(pid);
        }
    }
    return pids;
}

}  // namespace zelm::tool_test
