// The plugins command: what each plug-in file in a directory is, or why it
// did not load; with --isolate, each file examined in a child process of its
// own, so that a plug-in that crashes or hangs costs only its own row.
#include "commands.hpp"
#include "device_list.hpp"
#include "isolated_scan.hpp"
#include "output.hpp"
#include "plugin_directory.hpp"
#include "table.hpp"

#include <zelm/device_manager.hpp>

#include <fmt/format.h>

#include <algorithm>
#include <exception>
#include <iterator>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

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

// Back from an isolated child: the inverse of json_object.
PluginReport report_from_json(nlohmann::json const& object) {
    PluginReport report{.file = object.at("plugin_path").get<std::string>()};
    auto take = [&object](char const* key, auto& value) {
        if (object.contains(key)) {
            value = object.at(key).get<typename std::remove_reference_t<decltype(value)>::value_type>();
        }
    };
    take("name", report.name);
    take("version", report.version);
    take("manager_path", report.manager_path);
    take("devices", report.devices);
    take("error", report.error);
    return report;
}

// How a child that sent no report ended, as the plug-in's error.
std::string failure_text(ChildFailure const& failure) {
    return failure.timed_out ? failure.what : "crashed: " + failure.what;
}

std::vector<PluginReport> report_plugins_isolated(std::vector<std::filesystem::path> const& files,
                                                  PluginsOptions const& options) {
    std::vector<PluginReport> reports;
    for (auto const& file : files) {
        reports.push_back({.file = file});
    }
    auto keep = [&reports](std::size_t index, ChildOutcome outcome) {
        if (!outcome) {
            reports[index].error = failure_text(outcome.error());
            return;
        }
        try {
            reports[index] = report_from_json(nlohmann::json::parse(*outcome));
        } catch (nlohmann::json::exception const& e) {
            reports[index].error = fmt::format("crashed: sent unreadable results ({})", e.what());
        }
    };
    run_isolated(
        files, [](std::filesystem::path const& file) { return json_object(report_plugin(file)).dump(); },
        {.timeout = std::chrono::duration<double>(options.timeout)}, keep, [](std::size_t) {});
    return reports;
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
    auto const files = plugin_files(options.directory.value_or(default_plugin_directory()));
    std::vector<PluginReport> reports;
    if (options.isolate) {
        reports = report_plugins_isolated(files, options);
    } else {
        std::ranges::transform(files, std::back_inserter(reports), report_plugin);
    }
    print_stdout(render(reports, options.json));
}

}  // namespace zelm::tool
