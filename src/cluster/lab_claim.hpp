// A lab-wide device's key, held: created in the acquisition, deleted when the
// claim goes, and lost with the process's lease.
//
// A forked child inherits its parent's claims but not the lease they are
// bound to: there a claim counts as lost and never touches the cluster, so
// the child's end leaves the parent's key in place.
#pragma once

#include "cluster/inherited.hpp"
#include "cluster/lease.hpp"
#include "cluster/membership.hpp"
#include "cluster/notifier.hpp"
#include "cluster/stream_fence.hpp"

#include <zelm/device_manager.hpp>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace zelm::detail {

class LabClaim {
public:
    // Creates `key` bound to the membership's lease. Throws
    // cluster::HeldElsewhereError when the key exists under another lease,
    // and cluster::UnavailableError.
    LabClaim(std::shared_ptr<Membership> membership, std::string key);
    // Deletes the key if it is still bound to this claim's lease; waits for a
    // callback in progress on another thread.
    ~LabClaim();
    LabClaim(LabClaim const&) = delete;
    LabClaim& operator=(LabClaim const&) = delete;

    // Throws cluster::OwnershipLostError once the lease is lost or may have
    // lapsed.
    void check();
    std::optional<std::string> lost_reason();
    // Calls `listener` once when the lease is lost, on the membership's
    // notifier, or at once when it is lost already; replaces an earlier one.
    void on_lost(Lease::Listener listener);
    // A fence for a stream of this device that hands events to `callback`
    // (see StreamFence). Throws std::bad_alloc only.
    std::shared_ptr<StreamFence> fence_stream(::zelm::DataStream::Callback callback);

private:
    std::shared_ptr<Lease> create_key();
    void stop_listening() noexcept;

    Origin const origin_;
    std::shared_ptr<Membership> membership_;
    std::string key_;
    std::shared_ptr<Lease> lease_;
    // The host's callback and the lease listener that posts it: set by the
    // host's thread, dropped by whichever destroys the device, which may be
    // the callback itself on the notifier's thread.
    std::mutex listening_mutex_;  // guards the two below; never held while calling out
    std::shared_ptr<PostedCallback> callback_;
    std::optional<std::uint64_t> listener_;
};

// The claim a device needs when this process is in a cluster and the
// manager's plug-in marks the device lab-wide; null otherwise. Throws what
// LabClaim throws.
std::unique_ptr<LabClaim> claim_if_lab_wide(DeviceManager& manager, std::string const& manager_path,
                                            std::string const& compact_description);

}  // namespace zelm::detail
