// The plugins command: what each plug-in file in a directory is, or why it
// did not load.
#include "commands.hpp"
#include "device_list.hpp"
#include "output.hpp"
#include "plugin_directory.hpp"
#include "table.hpp"

#include <zelm/device_manager.hpp>

#include <fmt/format.h>

#include <exception>
#include <optional>
#include <string>

namespace zelm::tool {

namespace {

struct PluginReport {
    std::filesystem::path file;
    std::optional<std::string> name{};
    std::optional<std::string> version{};
    std::optional<std::string> manager_path{};
    std::optional<std::size_t> devices{};
    std::optional<std::string> error{};  // the first query that failed, and why
};

// Runs one query of the report; a failure becomes the report's error, named
// after the step, and skips the steps after it.
template <typename Query>
void step(PluginReport& report, char const* what, Query&& query) {
    if (report.error) {
        return;
    }
    try {
        query();
    } catch (std::exception const& e) {
        report.error = fmt::format("{}: {}", what, e.what());
    } catch (...) {
        report.error = fmt::format("{}: unknown exception", what);
    }
}

PluginReport report_plugin(std::filesystem::path const& file) {
    PluginReport report{.file = file};
    std::shared_ptr<DeviceManager> manager;
    step(report, "not loaded", [&] { manager = get_device_manager(file); });
    step(report, "get_name failed", [&] { report.name = manager->get_name(); });
    step(report, "get_version failed", [&] { report.version = manager->get_version(); });
    step(report, "get_path failed", [&] { report.manager_path = manager->get_path().native(); });
    step(report, "list_devices failed", [&] { report.devices = listed_descriptions(manager->list_devices()).size(); });
    return report;
}

std::string or_dash(std::optional<std::string> const& text) { return text.value_or("-"); }

TableRow table_row(PluginReport const& report) {
    return {report.file.filename().native(), or_dash(report.name), or_dash(report.version),
            report.devices ? std::to_string(*report.devices) : "-",
            report.error ? "error: " + *report.error : or_dash(report.manager_path)};
}

nlohmann::ordered_json json_object(PluginReport const& report) {
    nlohmann::ordered_json object{{"plugin_path", report.file.native()}};
    auto add = [&object](char const* key, auto const& value) {
        if (value) {
            object[key] = *value;
        }
    };
    add("name", report.name);
    add("version", report.version);
    add("manager_path", report.manager_path);
    add("devices", report.devices);
    add("error", report.error);
    return object;
}

std::string render(std::vector<PluginReport> const& reports, bool json) {
    if (json) {
        auto array = nlohmann::ordered_json::array();
        for (auto const& report : reports) {
            array.push_back(json_object(report));
        }
        return json_text(array);
    }
    if (reports.empty()) {
        return "no plug-ins found\n";
    }
    std::vector<TableRow> rows;
    for (auto const& report : reports) {
        rows.push_back(table_row(report));
    }
    return render_table({"PLUG-IN", "FAMILY", "VERSION", "DEVICES", "MANAGER PATH"}, rows);
}

}  // namespace

void run_plugins(PluginsOptions const& options) {
    std::vector<PluginReport> reports;
    for (auto const& file : plugin_files(options.directory.value_or(default_plugin_directory()))) {
        reports.push_back(report_plugin(file));
    }
    print_stdout(render(reports, options.json));
}

}  // namespace zelm::tool
