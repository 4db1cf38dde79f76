// A lab-wide device's key, held: created in the acquisition, deleted when the
// claim goes, and lost with the process's lease.
#pragma once

#include "cluster/lease.hpp"
#include "cluster/membership.hpp"

#include <zelm/device_manager.hpp>

#include <memory>
#include <optional>
#include <string>

namespace zelm::detail {

class LabClaim {
public:
    // Creates `key` bound to the membership's lease. Throws
    // cluster::HeldElsewhereError when the key exists under another lease,
    // and cluster::UnavailableError.
    LabClaim(std::shared_ptr<Membership> membership, std::string key);
    // Deletes the key if it is still bound to this claim's lease.
    ~LabClaim();
    LabClaim(LabClaim const&) = delete;
    LabClaim& operator=(LabClaim const&) = delete;

    // Throws cluster::OwnershipLostError once the lease is lost or may have
    // lapsed.
    void check();
    std::optional<std::string> lost_reason() { return lease_->lost_reason(); }
    // Calls `listener` once when the lease is lost; replaces an earlier one.
    void on_lost(Lease::Listener listener);

private:
    std::shared_ptr<Lease> create_key();

    std::shared_ptr<Membership> membership_;
    std::string key_;
    std::shared_ptr<Lease> lease_;
    std::optional<std::uint64_t> listener_;
};

// The claim a device needs when this process is in a cluster and the
// manager's plug-in marks the device lab-wide; null otherwise. Throws what
// LabClaim throws.
std::unique_ptr<LabClaim> claim_if_lab_wide(DeviceManager& manager, std::string const& manager_path,
                                            std::string const& compact_description);

}  // namespace zelm::detail
