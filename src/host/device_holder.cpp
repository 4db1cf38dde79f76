// The one look-up of a device's holder: the cluster's key first, since a
// lab-wide device held on another host shows no lock here; then the
// ownership lock on this machine.
#include <zelm/cluster.hpp>
#include <zelm/holder.hpp>

#include "cluster/membership.hpp"
#include "host/device_holder.hpp"
#include "locking/device_owner_lookup.hpp"
#include "locking/lock_directory.hpp"
#include "locking/lock_identity.hpp"

#include <fmt/format.h>

#include <sys/stat.h>

#include <chrono>

namespace zelm {
namespace {

std::optional<std::string> known(std::string const& text) {
    return text.empty() ? std::nullopt : std::optional(text);
}


// The ownership lock file's modification time: set whenever the lock is
// taken. Not followed through a link, as no lock file is.
std::optional<std::string> locked_since(std::string const& lock_id) {
    std::error_code error;
    auto const temporary = std::filesystem::temp_directory_path(error);
    if (error) {
        return std::nullopt;
    }
    auto const path = temporary / detail::lock_directory_name / detail::lock_file_name(lock_id, detail::ownership_file_suffix);
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    auto const since = std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::seconds(status.st_mtim.tv_sec) + std::chrono::nanoseconds(status.st_mtim.tv_nsec)));
    return detail::utc_text(since);
}

std::optional<DeviceHolder> local_holder(std::optional<DeviceOwner> const& owner, std::string const& lock_id) {
    if (!owner) {
        return std::nullopt;
    }
    return DeviceHolder{owner->pid, owner->command, detail::user_of(owner->pid), known(cluster::host_id()),
                        lock_id.empty() ? std::nullopt : locked_since(lock_id), false};
}

std::optional<DeviceHolder> lab_holder_of(std::filesystem::path const& manager_path, std::string const& description) {
    if (!detail::current_membership()) {
        return std::nullopt;
    }
    try {
        auto const owner = cluster::find_lab_owner(manager_path, description);
        return owner ? std::optional(detail::lab_holder(*owner)) : std::nullopt;
    } catch (cluster::UnavailableError const&) {
        return std::nullopt;  // the local lock still says who holds it here
    } catch (std::logic_error const&) {
        return std::nullopt;  // left the cluster meanwhile
    }
}

std::optional<DeviceHolder> holder_under(std::filesystem::path const& manager_path, std::string const& compact) {
    return detail::lock_holder(detail::make_lock_id_from_text(manager_path.native(), compact));
}

}  // namespace

namespace detail {

DeviceHolder lab_holder(cluster::Owner const& owner) {
    return {owner.pid, known(owner.command), known(owner.user), known(owner.host), known(owner.since), true};
}

std::optional<DeviceHolder> lock_holder(std::string const& lock_id) {
    return local_holder(owner_of_lock(lock_id), lock_id);
}

}  // namespace detail

std::optional<DeviceHolder> find_device_holder(std::filesystem::path const& manager_path,
                                               std::string const& description) {
    auto const compact = detail::parse_description(description).dump();
    if (auto holder = lab_holder_of(manager_path, compact)) {
        return holder;
    }
    return holder_under(manager_path, compact);
}

std::optional<DeviceHolder> find_device_holder(DeviceManager& manager, std::string const& description) {
    auto const manager_path = manager.get_path();
    auto const compact = detail::parse_description(description).dump();
    if (detail::current_membership() && cluster::is_lab_wide(manager, compact)) {
        // Unlike the look-up by path, a cluster that cannot answer fails it:
        // nobody here holding the device does not make it free.
        if (auto const owner = cluster::find_lab_owner(manager_path, compact)) {
            return detail::lab_holder(*owner);
        }
    }
    return holder_under(manager_path, compact);
}

std::optional<DeviceHolder> holder_of(DeviceOccupiedError const& error) {
    if (auto const* elsewhere = dynamic_cast<cluster::HeldElsewhereError const*>(&error)) {
        return detail::lab_holder(elsewhere->lab_owner());
    }
    // The lock file is not known here: the time it was taken stays unknown.
    return local_holder(error.owner(), {});
}

std::string holder_text(std::optional<DeviceHolder> const& holder) {
    if (!holder) {
        return "unknown";
    }
    auto text = holder->command ? fmt::format("{} ({})", holder->pid, *holder->command) : std::to_string(holder->pid);
    return holder->host ? fmt::format("{} on {}", text, *holder->host) : text;
}

}  // namespace zelm
