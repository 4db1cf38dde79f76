// zelm.scan and its results: zelm.ScanResult and its kinds zelm.Found,
// zelm.Occupied and zelm.Failed, whose fields are Python values. The scan
// runs without the GIL; the Python objects are made once it is done.
#include "bindings.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "json_values.hpp"
#include "numbers.hpp"
#include "plugin_directory.hpp"

#include <zelm/scan.hpp>

#include <nlohmann/json.hpp>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace zelm::python {

namespace py = pybind11;

namespace {

// JSON text from the library, made a Python value when first asked for:
// a scan of thousands of devices is often looked at only in part. Empty
// text (a device that gave no status) is None.
class LazyJson {
public:
    LazyJson() = default;
    explicit LazyJson(std::string text) : text_(std::move(text)) {}

    std::string const& text() const { return text_; }
    py::object const& value() {
        if (!value_) {
            value_ = text_.empty() ? py::none() : to_python(nlohmann::json::parse(text_));
        }
        return *value_;
    }

private:
    std::string text_;
    std::optional<py::object> value_;
};

struct Result {
    py::object plugin_path;
    LazyJson description;
};

struct Found : Result {
    std::string serial_number;
    std::string api;
    LazyJson info;
    LazyJson status;
};

struct Occupied : Result {
    py::object owner;
};

struct Failed : Result {
    std::string error;
};

// --- scanning, without the GIL ----------------------------------------------

// What to scan: one directory, or plug-in files.
struct ScanTarget {
    std::optional<std::filesystem::path> directory;
    std::vector<std::filesystem::path> plugins;
};

// A scan that Python gave up (Ctrl-C) ends after the device it is at.
struct ScanAbandoned {};

ScanReport scan_target(ScanTarget const& target, unsigned jobs, std::stop_token const& stop) {
    ScanOptions options;
    options.jobs = jobs;
    options.progress = [stop](ScanProgress const&) {
        if (stop.stop_requested()) {
            throw ScanAbandoned{};
        }
    };
    return scan_devices_report(target.directory ? list_plugin_files(*target.directory) : target.plugins, options);
}

// --- Python objects, with the GIL ---------------------------------------------

// The results of one plug-in share its pathlib.Path.
class PathObjects {
public:
    py::object const& operator()(std::string const& path) {
        if (path != last_text_) {
            last_text_ = path;
            last_ = py::cast(std::filesystem::path(path));
        }
        return last_;
    }

private:
    std::string last_text_;
    py::object last_;
};

py::object text_or_none(std::string const& text) { return text.empty() ? py::object(py::none()) : py::str(text); }

template <typename Kind>
Kind with_common(auto& result, PathObjects& paths) {
    Kind kind;
    kind.plugin_path = paths(result.plugin_path);
    kind.description = LazyJson(std::move(result.description));
    return kind;
}

py::object result_object(ScannedDevice& device, PathObjects& paths) {
    auto& result = device.result;
    if (auto* found = std::get_if<DeviceFound>(&result)) {
        auto kind = with_common<Found>(*found, paths);
        kind.serial_number = std::move(found->serial_number);
        kind.api = std::move(found->api);
        kind.info = LazyJson(std::move(found->info));
        kind.status = LazyJson(std::move(found->status));
        return py::cast(std::move(kind));
    }
    if (auto* occupied = std::get_if<DeviceOccupied>(&result)) {
        auto kind = with_common<Occupied>(*occupied, paths);
        kind.owner = owner_object(device.holder);
        return py::cast(std::move(kind));
    }
    auto& failed = std::get<DeviceQueryFailed>(result);
    auto kind = with_common<Failed>(failed, paths);
    kind.error = std::move(failed.error);
    return py::cast(std::move(kind));
}

// What went wrong, on the logger "zelm", once the scan is done: a handler
// that scans again then meets no lock of this scan.
void log_problems(ScanReport const& report) {
    for (auto const& failure : report.failures) {
        spdlog::warn("Scanner skipped manager {}: {}", failure.plugin_path, failure.reason);
    }
    for (auto const& device : report.devices) {
        if (auto const* failed = std::get_if<DeviceQueryFailed>(&device.result)) {
            spdlog::error("Failed to query device {} of {}: {}", failed->description, failed->plugin_path,
                          failed->error);
        }
    }
}

// What was asked for by name is there, or the scan fails saying so: a scan
// of nothing would look like a scan that found nothing.
void check_exists(std::filesystem::path const& path, bool as_directory) {
    std::error_code error;
    auto const status = std::filesystem::status(path, error);
    if (!error && !std::filesystem::exists(status)) {
        error = std::make_error_code(std::errc::no_such_file_or_directory);
    } else if (!error && as_directory && !std::filesystem::is_directory(status)) {
        error = std::make_error_code(std::errc::not_a_directory);
    }
    if (error) {
        throw std::filesystem::filesystem_error("cannot scan", path, error);
    }
}

// Plug-in files, or a directory of them: str, os.PathLike, a sequence of
// them, or None for the default plug-in directory.
using Plugins = Typed<"Union[str, os.PathLike, Sequence[Union[str, os.PathLike]], None]">;

ScanTarget scan_target_of(Plugins const& target) {
    if (target.is_none()) {
        auto directory = default_plugin_directory();
        check_exists(directory, true);
        return {std::move(directory), {}};
    }
    if (py::isinstance<py::str>(target) || py::hasattr(target, "__fspath__")) {
        auto path = target.cast<std::filesystem::path>();
        if (std::filesystem::is_directory(path)) {
            return {std::move(path), {}};
        }
        auto plugin = resolve_plugin(path);
        check_exists(plugin, false);
        return {std::nullopt, {std::move(plugin)}};
    }
    auto plugins = target.cast<std::vector<std::filesystem::path>>();
    std::ranges::transform(plugins, plugins.begin(), resolve_plugin);
    return {std::nullopt, std::move(plugins)};
}

using Results = Typed<"list[Union[zelm.Found, zelm.Occupied, zelm.Failed]]">;

Results scan(Plugins const& target, Integer const& jobs_number) {
    auto const jobs = in_range<int>(jobs_number, "jobs");
    if (jobs < 1) {
        throw py::value_error("jobs must be at least 1, not " + std::to_string(jobs));
    }
    auto what = scan_target_of(target);
    auto report = interruptible([what = std::move(what), jobs](std::stop_token const& stop) {
        return scan_target(what, static_cast<unsigned>(jobs), stop);
    });
    log_problems(report);
    py::list list(report.devices.size());
    PathObjects paths;
    for (std::size_t index = 0; index < report.devices.size(); ++index) {
        list[index] = result_object(report.devices[index], paths);
    }
    return Results(std::move(list));
}

// "<zelm.Found SIM-0001 sim_manager.so {"serial":"SIM-0001"}>": what a
// user looks for first, in the order of the tool's table.
std::string repr_of(char const* kind, Result const& result, std::string const& detail) {
    auto const file = py::str(result.plugin_path.attr("name")).cast<std::string>();
    return std::string("<zelm.") + kind + " " + detail + file + " " + result.description.text() + ">";
}

std::string found_repr(Found const& found) {
    return repr_of("Found", found, found.serial_number.empty() ? "" : found.serial_number + " ");
}

std::string occupied_repr(Occupied const& occupied) {
    auto const by = occupied.owner.is_none() ? std::string() : " by " + py::repr(occupied.owner).cast<std::string>();
    auto text = repr_of("Occupied", occupied, "");
    return text.insert(text.size() - 1, by);
}

std::string failed_repr(Failed const& failed) {
    auto text = repr_of("Failed", failed, "");
    return text.insert(text.size() - 1, ": " + failed.error);
}

void bind_results(py::module_& module) {
    py::class_<Result>(module, "ScanResult", "One device as a scan reports it: found, occupied or failed.")
        .def_readonly("plugin_path", &Result::plugin_path,
                      "The plug-in file (pathlib.Path) as the scan was given it, a bare file name in the default "
                      "plug-in directory.")
        .def_property_readonly(
            "description", [](Result& result) { return result.description.value(); },
            "The device's description as its plug-in lists it (usually a dict).");
    py::class_<Found, Result>(module, "Found", "A free device that answered its query.")
        .def_property_readonly(
            "serial_number", [](Found const& found) { return text_or_none(found.serial_number); },
            "The information's \"Serial Number\" as text, or None when it has none.")
        .def_property_readonly(
            "api", [](Found const& found) { return text_or_none(found.api); },
            "The status's \"API\" when it is text, else None.")
        .def_property_readonly(
            "info", [](Found& found) { return found.info.value(); }, "The device's information (usually a dict).")
        .def_property_readonly(
            "status", [](Found& found) { return found.status.value(); },
            "The device's status (usually a dict), or None when it gave none.")
        .def("__repr__", &found_repr);
    py::class_<Occupied, Result>(module, "Occupied", "A device that another owner holds; it was not queried.")
        .def_readonly("owner", &Occupied::owner, "The holder (zelm.Owner), or None when it cannot be identified.")
        .def("__repr__", &occupied_repr);
    py::class_<Failed, Result>(module, "Failed", "A free device whose query gave no information.")
        .def_readonly("error", &Failed::error, "Why the query failed.")
        .def("__repr__", &failed_repr);
}

}  // namespace

void bind_scan(py::module_& module) {
    bind_results(module);
    module.def("scan", &scan, py::arg("plugins") = py::none(), py::kw_only(), py::arg("jobs") = 1,
               "Scans plug-ins for devices and returns one zelm.Found, zelm.Occupied or zelm.Failed per device, "
               "plug-in by plug-in in device-list order.\n\n"
               "`plugins` is a directory (its plug-in files, in name order: \"_manager\" in the name, extension "
               ".so), one plug-in file, or a list of them; by default zelm.default_plugin_directory(), where a bare "
               "file name (\"sim_manager.so\") is also looked up. A plug-in that cannot be loaded or listed costs "
               "its own devices and a warning on the \"zelm\" logger saying why; a device whose query failed is "
               "an error there too, once the scan is done. `jobs` scans that many plug-ins at once, each on a "
               "thread of its own; the results keep the order of one scan. Answers are shared for five seconds by "
               "every scan on the machine. The GIL is released while the scan runs. Ctrl-C raises "
               "KeyboardInterrupt at once; the scan given up ends on its own thread after the device it is at. "
               "Raises zelm.Error when a plug-in throws something that is not a standard exception, and "
               "zelm.FileSystemError when the directory or the one plug-in file given does not exist or cannot "
               "be read.");
}

}  // namespace zelm::python
