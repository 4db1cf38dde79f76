#include "cluster/lab_claim.hpp"

#include "cluster/lab_wide.hpp"
#include "cluster/owner_record.hpp"

#include <spdlog/spdlog.h>

namespace zelm::detail {

LabClaim::LabClaim(std::shared_ptr<Membership> membership, std::string key)
    : membership_(std::move(membership)), key_(std::move(key)), lease_(create_key()) {}

// A transaction that timed out may still have been applied: a key found bound
// to our own lease is the one we created. A lease that expired between the
// grant and the transaction is replaced once.
std::shared_ptr<Lease> LabClaim::create_key() {
    auto const record = owner_record(this_process_as_owner(membership_->options().host_id));
    for (int attempt = 0;; ++attempt) {
        auto lease = membership_->lease();
        CreateOutcome outcome;
        try {
            outcome = membership_->client().create_if_absent(key_, record, lease->id());
        } catch (EtcdError const& e) {
            if (e.code() != grpc_not_found) {
                throw std::runtime_error("Cluster refused the key " + key_ + ": " + e.what());
            }
            lease->lose(e.what());  // expired between grant and use: a new one is granted
            if (attempt < 2) {
                continue;
            }
            throw cluster::UnavailableError(e.what());
        }
        if (outcome.created || (outcome.existing && outcome.existing->lease == lease->id())) {
            return lease;
        }
        if (outcome.existing) {
            throw cluster::HeldElsewhereError(parse_owner_record(outcome.existing->value));
        }
        if (attempt >= 2) {
            throw cluster::UnavailableError("the key of " + key_ + " keeps changing");
        }
    }
}

namespace {

std::string const forked_reason = "this process was forked from the device's owner and holds no lease of its own";

}  // namespace

LabClaim::~LabClaim() {
    if (origin_.forked()) {
        return;  // the parent's key, lease and notifier
    }
    stop_listening();
    if (lease_->lost()) {
        return;  // the key went with the lease, or goes with it soon
    }
    try {
        membership_->client().delete_if_leased(key_, lease_->id());
    } catch (std::exception const& e) {
        spdlog::warn("Cluster key {} not deleted: {}; it goes when lease {:x} expires", key_, e.what(),
                     lease_->id());
    }
}

void LabClaim::stop_listening() noexcept {
    if (origin_.forked()) {
        return;  // the parent's listeners
    }
    std::optional<std::uint64_t> listener;
    std::shared_ptr<PostedCallback> callback;
    {
        std::lock_guard const lock(listening_mutex_);
        listener.swap(listener_);
        callback.swap(callback_);
    }
    if (listener) {
        lease_->forget(*listener);
    }
    if (callback) {
        callback->cancel();
    }
}

std::optional<std::string> LabClaim::lost_reason() {
    if (origin_.forked()) {
        return forked_reason;
    }
    return lease_->lost_reason();
}

void LabClaim::check() {
    if (auto const reason = lost_reason()) {
        throw cluster::OwnershipLostError(*reason);
    }
}

void LabClaim::on_lost(Lease::Listener listener) {
    stop_listening();
    // Lost already: told at once, by the host's own call.
    if (auto const reason = lost_reason()) {
        listener(*reason);
        return;
    }
    auto callback = std::make_shared<PostedCallback>(membership_->notifier(), std::move(listener));
    auto const number = lease_->listen([callback](std::string const& reason) { callback->call_later(reason); });
    std::lock_guard const lock(listening_mutex_);
    callback_ = std::move(callback);
    listener_ = number;
}

std::shared_ptr<StreamFence> LabClaim::fence_stream(::zelm::DataStream::Callback callback) {
    return make_fence(lease_, membership_->notifier(), std::move(callback));
}

std::unique_ptr<LabClaim> claim_if_lab_wide(DeviceManager& manager, std::string const& manager_path,
                                            std::string const& compact_description) {
    auto membership = current_membership();
    if (!membership || !marks_lab_wide(lab_wide_query_of(manager), manager, compact_description)) {
        return nullptr;
    }
    return std::make_unique<LabClaim>(std::move(membership), owner_key_of(manager_path, compact_description));
}

}  // namespace zelm::detail
