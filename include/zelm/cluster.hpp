// Lab-wide ownership: one owner per network device across every host that
// shares an etcd cluster.
//
// A file lock keeps two processes of one machine apart; a device that other
// machines reach too (a Modbus TCP controller, a network instrument) needs
// the hosts to agree. A host that joins a cluster owns such a device by
// taking its machine-local ownership lock as always and, in the same
// acquisition, creating the key "/zelm/owners/<manager path>/<compact
// description>" in etcd, bound to the process's lease. The lease is kept
// alive while the process is in the cluster; a crashed or cut-off host's keys
// vanish when it expires. Releasing the device deletes its key at once.
//
// Which devices are lab-wide is the family's decision: a plug-in says so
// in its capability table (<zelm/plugin_capabilities.hpp>). Without a
// cluster joined nothing changes.
//
// Guarantee: at most one process holds a live key for a device. A process
// whose lease may have lapsed (no keep-alive acknowledged for the lease's
// time-to-live less a margin, measured on a clock that also counts suspend)
// is no longer an owner: its managed devices stop forwarding operations and
// throw OwnershipLostError. The device itself is not fenced: a process that
// ignores the error, or writes to the device by other means, is not stopped.
#pragma once

#include <zelm/device_manager.hpp>
#include <zelm/export.hpp>
#include <zelm/owner.hpp>
#include <zelm/scan.hpp>

#include <chrono>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelm::cluster {

// The prefix under which every lab-wide owner's key lives.
inline constexpr char const* owners_prefix = "/zelm/owners/";

struct Options {
    // This host's name in the cluster; empty: the machine's host name.
    std::string host_id;
    // The lease's time-to-live, in whole seconds; etcd's minimum is 2.
    std::chrono::seconds ttl{5};
    // How long one request to one endpoint may take before the next endpoint
    // is tried. Never more than the time-to-live allows: a keep-alive that
    // meets one stalled member must still reach another in time (417 ms for
    // a time-to-live of 2 s, 1167 ms for 5 s). A whole call, every endpoint
    // tried, takes at most one such time per endpoint and one more, and half
    // a second.
    std::chrono::milliseconds request_timeout{2000};
};

// The holder of a lab-wide device, as its key in etcd names it.
struct Owner {
    std::string host;     // the holder's host id
    int pid = 0;          // its process id, on that host
    std::string command;  // its command name; may be empty
    std::string user;     // its user name (or numeric id); may be empty
    std::string since;    // when it took the device, UTC, ISO 8601
};

// Joins the cluster reachable at `endpoints` (URLs such as
// "http://10.0.0.5:2379", tried in turn): from now on every acquisition and
// scan of a lab-wide device in this process goes through it. Contacts no
// server; the first acquisition does. Joining again replaces the cluster and
// options (devices owned under the old cluster lose their ownership). Throws
// std::invalid_argument "Bad cluster endpoint: <url>: <reason>" for an
// endpoint that is not an http:// or https:// URL, "Bad cluster host id:
// <id>" for a host id that is empty after defaulting or holds a control
// character or '/', "Bad cluster time-to-live: <n> s (at least 2)", "Bad
// cluster request time-out: <n> ms (at least 1)", and
// std::system_error when the host name cannot be read.
ZELM_API void join(std::vector<std::string> const& endpoints, Options const& options = {});

// Splits "URL[,URL...]" (the tool's --cluster, ZELM_CLUSTER) into endpoints,
// dropping empty entries. Throws std::bad_alloc only.
ZELM_API std::vector<std::string> parse_endpoints(std::string const& list);

// Leaves the cluster: revokes this process's lease (its keys go at once),
// after which its lab-wide devices count as lost; returns once their
// ownership-lost callbacks have run (unless called from one). Does nothing
// when not joined. Never throws.
ZELM_API void leave() noexcept;

// True between join and leave. Never throws.
ZELM_API bool joined() noexcept;

// This host's id in the cluster; empty when not joined. Throws std::bad_alloc
// only.
ZELM_API std::string host_id();

// Thrown when the cluster cannot answer (no endpoint reachable, no quorum, a
// request timed out): "Cluster unavailable: <what failed>". An acquisition
// that throws it holds nothing; a scan reports the lab-wide devices as failed
// to query with this message rather than calling them free.
class ZELM_API UnavailableError : public std::runtime_error {
public:
    explicit UnavailableError(std::string const& reason);
    ~UnavailableError() override;
    UnavailableError(UnavailableError const&) = default;
    UnavailableError& operator=(UnavailableError const&) = default;
};

// Thrown by an acquisition that finds a lab-wide device's key held by another
// process, here or on another host. Its owner() is empty (a pid of another
// host names nobody here); lab_owner() names the holder.
class ZELM_API HeldElsewhereError : public DeviceOccupiedError {
public:
    explicit HeldElsewhereError(Owner holder);
    ~HeldElsewhereError() override;
    HeldElsewhereError(HeldElsewhereError const&) = default;
    HeldElsewhereError& operator=(HeldElsewhereError const&) = default;

    Owner const& lab_owner() const noexcept { return holder_; }

private:
    Owner holder_;
};

// Thrown by every operation of a managed lab-wide device once its ownership
// is lost or may have lapsed: "Lab-wide ownership lost: <reason>". The device
// stays lost; the host releases it and acquires it anew.
class ZELM_API OwnershipLostError : public std::runtime_error {
public:
    explicit OwnershipLostError(std::string const& reason);
    ~OwnershipLostError() override;
    OwnershipLostError(OwnershipLostError const&) = default;
    OwnershipLostError& operator=(OwnershipLostError const&) = default;
};

// True when the plug-in of `manager` marks the device that `description`
// (JSON text, any spacing) names as lab-wide; always false for a manager
// that get_device_manager did not make (a host's own). Throws
// nlohmann::json::parse_error when `description` is not JSON.
ZELM_API bool is_lab_wide(DeviceManager& manager, std::string const& description);

// The key of a lab-wide device: owners_prefix, the manager path, "/" and the
// compact description. Throws nlohmann::json::parse_error when `description`
// is not JSON.
ZELM_API std::string owner_key(std::filesystem::path const& manager_path, std::string const& description);

// The lab-wide holder of the device, asked of the cluster now (one request).
// None when the key does not exist. Throws UnavailableError, and
// std::logic_error "Not in a cluster" when not joined.
ZELM_API std::optional<Owner> find_lab_owner(std::filesystem::path const& manager_path,
                                             std::string const& description);

// Every lab-wide holder in the cluster, by key (see owner_key), in one range
// request. Throws UnavailableError, and std::logic_error "Not in a cluster"
// when not joined.
ZELM_API std::map<std::string, Owner> lab_owners();

// The lab-wide holder of an occupied result as the most recent scan of that
// device in this process saw it (that scan's one range request; scans on
// other threads keep their answers for their devices); none when that scan
// found the device held on this machine only, or was not in a cluster.
// Never asks the cluster. Throws std::bad_alloc only.
ZELM_API std::optional<Owner> scanned_lab_owner(DeviceOccupied const& result);

// Waits until the device's key is gone (a watch, not polling) or `timeout`
// passes; true when it is gone. Throws UnavailableError and std::logic_error
// "Not in a cluster" when not joined.
ZELM_API bool wait_until_free(std::filesystem::path const& manager_path, std::string const& description,
                              std::chrono::milliseconds timeout);

}  // namespace zelm::cluster

// How plug-ins built before capability tables mark their lab-wide devices;
// new plug-ins put the function in their table instead
// (<zelm/plugin_capabilities.hpp>). A plug-in that has no table but defines
//   ZELM_LAB_WIDE_ENTRY int zelm_is_lab_wide(zelm::DeviceManager* manager,
//                                            char const* description) noexcept { ... }
// in its own file has that function as its table's is_lab_wide: non-zero for
// a device (compact JSON `description`, as listed by `manager`, the
// plug-in's own manager) that other hosts reach too. It must not throw.
#define ZELM_LAB_WIDE_ENTRY extern "C" ZELM_API
extern "C" ZELM_API int zelm_is_lab_wide(zelm::DeviceManager* manager, char const* description) noexcept;
