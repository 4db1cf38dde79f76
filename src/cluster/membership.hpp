// This process's membership of a cluster: the client, the host's identity
// and the one lease that every key this process creates is bound to, kept
// alive by a thread of its own.
//
// One lease per process rather than one per device: an acquisition then
// costs one transaction, and a process that dies or stalls loses all its
// devices at once, as it should. Releasing a device deletes its key; the
// lease itself is revoked when the process leaves the cluster or ends.
//
// The lease is the process's, not its forked children's: a child inherits
// this object but neither the keep-alive thread nor the right to revoke the
// lease, so in a child it takes no lease (acquisitions fail until the child
// joins anew) and is never destroyed there: its threads' state, condition
// variables waited on included, is the parent's. Requests that take no
// lease (a scan's) still work there.
#pragma once

#include "cluster/etcd_client.hpp"
#include "cluster/inherited.hpp"
#include "cluster/lease.hpp"
#include "cluster/notifier.hpp"

#include <zelm/cluster.hpp>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace zelm::detail {

class Membership {
public:
    // `options` as join resolved them (the host id filled in). Throws
    // std::bad_alloc and std::system_error (no thread).
    static std::shared_ptr<Membership> make(std::vector<std::string> endpoints, cluster::Options options);
    // Revokes the lease.
    ~Membership();
    Membership(Membership const&) = delete;
    Membership& operator=(Membership const&) = delete;

    EtcdClient& client() noexcept { return client_; }
    cluster::Options const& options() const noexcept { return options_; }
    // Where the hosts' callbacks about this membership's leases run.
    std::shared_ptr<Notifier> const& notifier() const noexcept { return notifier_; }

    // The live lease, granted now when there is none or the last one is
    // lost. Throws cluster::UnavailableError.
    std::shared_ptr<Lease> lease();
    // Revokes the lease now and tells its listeners `reason`; returns once
    // the callbacks that this posted have run (unless called from one).
    void end(std::string const& reason) noexcept;

private:
    Membership(std::vector<std::string> endpoints, cluster::Options options);

    std::shared_ptr<Lease> current_lease();
    void keep_alive(std::stop_token stop);
    // True when the lease was renewed.
    bool renew_once(Lease& lease);

    Origin const origin_;
    EtcdClient client_;
    cluster::Options const options_;
    std::shared_ptr<Notifier> const notifier_ = std::make_shared<Notifier>();
    std::mutex grant_mutex_;  // taken before mutex_; held while a lease is granted
    std::mutex mutex_;        // guards lease_ and ended_; never held during a request or a listener
    std::condition_variable_any wake_;
    std::shared_ptr<Lease> lease_;
    bool ended_ = false;
    // Last: it uses everything above.
    std::jthread keeper_;
};

// The membership that join made; none when not joined.
std::shared_ptr<Membership> current_membership();

}  // namespace zelm::detail
