// One device as a scan sees it (query_device), and its last answer in the
// query cache whatever its age (last_cached_answer).
#include <zelm/device_manager.hpp>
#include <zelm/query.hpp>

#include "loader/plugin_pin.hpp"
#include "locking/lock_identity.hpp"
#include "locking/query_lock.hpp"
#include "scan/cache_file.hpp"
#include "scan/device_scan.hpp"
#include "scan/scan_results.hpp"

namespace zelm {

ScanResult query_device(std::filesystem::path const& plugin_path, std::string const& description) {
    auto const manager = get_device_manager(plugin_path);
    auto const device = detail::parse_description(description);
    // The plug-in that may have defined an exception's type stays loaded
    // while the exception lives, also after `manager` has gone.
    return detail::pinning_on_exception(*manager,
                                        [&] { return detail::scan_device(plugin_path, manager, device); });
}

std::optional<CachedAnswer> last_cached_answer(std::filesystem::path const& plugin_path,
                                               std::string const& description) {
    auto const manager = get_device_manager(plugin_path);
    auto const device = detail::parse_description(description);
    auto const compact = device.dump();
    auto const manager_path = detail::pinning_on_exception(*manager, [&] { return manager->get_path(); }).native();
    auto const lock_id = detail::make_lock_id_from_text(manager_path, compact);
    // Taken as every reader takes it: a query of the device that is still
    // writing its answer is waited for.
    detail::InterprocessLock const lock(lock_id);
    auto last = detail::read_last_cache_file(lock, {device, compact, manager_path, lock_id});
    if (!last) {
        return std::nullopt;
    }
    ScanResults results;
    detail::append_scan_result(results, plugin_path.native(), compact, last->record);
    return CachedAnswer{std::move(results.front()), last->age};
}

}  // namespace zelm
