// scan_devices: every device of every plug-in, as found, occupied or failed.
// A plug-in that fails costs its own (remaining) devices and one warning; a
// device whose query fails costs one failed result.
#include <zelm/lock.hpp>
#include <zelm/scan.hpp>

#include "json/bounded_json.hpp"
#include "loader/plugin_pin.hpp"
#include "locking/lock_identity.hpp"
#include "locking/ownership_probe.hpp"
#include "scan/device_lists.hpp"
#include "scan/device_scan.hpp"
#include "scan/query_cache.hpp"
#include "scan/scan_progress.hpp"
#include "scan/scan_results.hpp"

#include <spdlog/spdlog.h>

#include <optional>

namespace zelm {
namespace detail {

nlohmann::json list_devices(DeviceManager& manager) {
    try {
        return parse_bounded(manager.list_devices()).value_or(nullptr);
    } catch (...) {
        return nullptr;
    }
}

namespace {

std::filesystem::path manager_path_of(DeviceManager& manager) {
    try {
        return manager.get_path();
    } catch (std::exception const& e) {
        throw GetPathFailed(e.what());
    }
}

void note(ScanSession const& session, std::string const& manager_path, std::string const& lock_id) {
    if (session.notes != nullptr) {
        session.notes->push_back({manager_path, lock_id});
    }
}

void scan_listed_device(std::filesystem::path const& plugin_path, DeviceManager& manager, nlohmann::json const& device,
                        std::string description, std::string const& manager_path, std::string const& lock_id,
                        ScanSession& session, ScanResults& results) {
    if (auto decided = session.lab.judge(plugin_path.native(), manager, manager_path, description)) {
        results.push_back(std::move(*decided));
        note(session, manager_path, lock_id);
        return;
    }
    auto const& directory = session.lock_directory.current();
    if (!is_device_occupied(lock_id, directory)) {
        auto const log = session.notes != nullptr ? QueryLog::quiet : QueryLog::failures;
        auto const answer =
            query_device_cached(manager, {device, description, manager_path, lock_id}, directory, log);
        if (!answer.occupied) {
            append_scan_result(results, plugin_path.native(), std::move(description), *answer.record);
            note(session, manager_path, lock_id);
            return;
        }
    }
    results.emplace_back(std::in_place_type<DeviceOccupied>, plugin_path.native(), std::move(description));
    note(session, manager_path, lock_id);
}

}  // namespace

ScanResult scan_device(std::filesystem::path const& plugin_path, std::shared_ptr<DeviceManager> const& manager,
                       nlohmann::json const& device, ScanSession& session) {
    auto const manager_path = manager_path_of(*manager);
    // Serialised once: the text is both the identity's input and the result's.
    auto description = device.dump();
    auto const lock_id = make_lock_id_from_text(manager_path.native(), description);
    ScanResults results;
    scan_listed_device(plugin_path, *manager, device, std::move(description), manager_path.native(), lock_id,
                       session, results);
    return std::move(results.front());
}

ScanResult scan_device(std::filesystem::path const& plugin_path, std::shared_ptr<DeviceManager> const& manager,
                       nlohmann::json const& device) {
    ScanSession session;
    return scan_device(plugin_path, manager, device, session);
}

namespace {

// A list read before, with the same text: the manager is still asked for its
// path for every device, and identities are derived afresh only when that
// path differs from the one they were derived under.
void scan_known_list(std::filesystem::path const& plugin_path, DeviceManager& manager, DeviceList const& list,
                     ScanSession& session, ProgressTicker& ticker, ScanResults& results) {
    results.reserve(results.size() + list.devices.size());
    for (auto const& device : list.devices) {
        auto const manager_path = manager_path_of(manager);
        bool const same_path = manager_path.native() == list.manager_path;
        auto const lock_id =
            same_path ? device.lock_id : make_lock_id_from_text(manager_path.native(), device.description);
        scan_listed_device(plugin_path, manager, device.value, device.description, manager_path.native(), lock_id,
                           session, results);
        ticker.device_done();
    }
}

// A list not read before: parsed, scanned and kept for the next scan. An
// array gives its elements, an object its member values in key order, null
// nothing, any other value itself.
std::optional<std::string> scan_new_list(std::filesystem::path const& plugin_path, DeviceManager& manager,
                                         std::string text, ScanSession& session, ProgressTicker& ticker,
                                         ScanResults& results) {
    std::optional<nlohmann::json> parsed;
    try {
        parsed = parse_bounded(text);
    } catch (...) {
    }
    if (!parsed) {
        return "its device list is not JSON, or is nested too deep";  // skipped silently by a plain scan
    }
    auto list = std::make_shared<DeviceList>();
    for (auto& device : *parsed) {
        auto const manager_path = manager_path_of(manager);
        // Serialised once: the text is both the identity's input and the result's.
        auto description = device.dump();
        auto lock_id = make_lock_id_from_text(manager_path.native(), description);
        scan_listed_device(plugin_path, manager, device, description, manager_path.native(), lock_id, session,
                           results);
        if (list->devices.empty()) {
            list->manager_path = manager_path.native();
        } else if (list->manager_path != manager_path.native()) {
            list->manager_path.reset();  // a manager whose path changes: identities are derived afresh
        }
        list->devices.push_back({std::move(device), std::move(description), std::move(lock_id)});
        ticker.device_done();
    }
    list->text = std::move(text);
    device_lists().keep(plugin_path.native(), std::move(list));
    return std::nullopt;
}

// Why list_devices gave no list, in one line.
std::string list_failure(std::exception_ptr const& error) {
    try {
        std::rethrow_exception(error);
    } catch (std::exception const& e) {
        return e.what();
    } catch (...) {
        return "a non-standard exception from plug-in code";
    }
}

}  // namespace

std::optional<std::string> scan_device_list(std::filesystem::path const& plugin_path, DeviceManager& manager,
                                            ScanSession& session, ProgressTicker& ticker, ScanResults& results) {
    std::string text;
    try {
        text = manager.list_devices();
    } catch (...) {
        return list_failure(std::current_exception());  // skipped silently by a plain scan, like a list that is not JSON
    }
    if (auto const list = device_lists().find(plugin_path.native(), text)) {
        scan_known_list(plugin_path, manager, *list, session, ticker, results);
        return std::nullopt;
    }
    return scan_new_list(plugin_path, manager, std::move(text), session, ticker, results);
}

void ProgressTicker::tell() {
    ++progress_.devices_done;
    try {
        (*callback_)(progress_);
    } catch (...) {
        throw ProgressStopped{std::current_exception()};
    }
}

}  // namespace detail

namespace {

void scan_plugin(std::filesystem::path const& plugin_path, detail::ScanSession& session,
                 detail::ProgressTicker& ticker, ScanResults& results) {
    // Declared outside the try block so that the plug-in stays loaded until
    // the exception, whose type and message may be the plug-in's, is gone.
    std::shared_ptr<DeviceManager> manager;
    try {
        manager = get_device_manager(plugin_path);
        detail::scan_device_list(plugin_path, *manager, session, ticker, results);
    } catch (detail::ProgressStopped const&) {
        throw;  // the host's, not the plug-in's: it ends the whole scan
    } catch (std::exception const& e) {
        spdlog::warn("Scanner skipped manager {}: {}", plugin_path.native(), e.what());
    } catch (...) {
        // Leaves the scan, and `manager` goes on the way: the plug-in that
        // may have defined the exception's type stays loaded.
        if (manager) {
            detail::pin_plugin_for_current_exception(*manager);
        }
        throw;
    }
}

}  // namespace

ScanResults scan_devices(std::vector<std::filesystem::path> const& plugin_paths,
                         ScanProgressCallback const& progress) {
    ScanResults results;
    detail::ScanSession session;
    detail::ProgressTicker ticker(&progress, plugin_paths.size());
    try {
        for (std::size_t index = 0; index < plugin_paths.size(); ++index) {
            ticker.start_plugin(index);
            scan_plugin(plugin_paths[index], session, ticker, results);
        }
    } catch (detail::ProgressStopped const& stopped) {
        std::rethrow_exception(stopped.error);
    }
    session.lab.publish();
    return results;
}

ScanResults scan_devices(std::vector<std::filesystem::path> const& plugin_paths) {
    return scan_devices(plugin_paths, ScanProgressCallback{});
}

}  // namespace zelm
