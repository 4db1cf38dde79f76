// What a scan learns from the cluster: every lab-wide owner in one range
// request, made when the scan meets its first lab-wide device and not again.
#pragma once

#include "cluster/etcd_client.hpp"
#include "cluster/lab_wide.hpp"
#include "cluster/membership.hpp"
#include "cluster/scanned_owners.hpp"

#include <zelm/scan.hpp>

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace zelm::detail {

class LabScan {
public:
    // Takes the membership of the moment; without one every device is local.
    LabScan();

    // The result of a lab-wide device that the cluster decides: occupied when
    // its key exists, failed when the cluster cannot answer. None for a
    // device that is not lab-wide or whose key does not exist: the scan goes
    // on as for any device.
    std::optional<ScanResult> judge(std::string const& plugin_path, DeviceManager& manager,
                                    std::string const& manager_path, std::string const& description);

    // Hands the owners seen to scanned_lab_owner.
    void publish();

private:
    bool lab_wide(DeviceManager& manager, std::string const& description);
    void read_owners();

    std::shared_ptr<Membership> membership_;
    std::weak_ptr<DeviceManager> queried_manager_;
    LabWideQuery query_ = nullptr;
    bool read_ = false;
    std::map<std::string, std::string> owners_;  // key → value
    std::optional<std::string> unavailable_;
    std::map<ScannedOwners::Key, std::optional<cluster::Owner>> judged_;
};

}  // namespace zelm::detail
