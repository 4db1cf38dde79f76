#include "cluster/lab_scan.hpp"

#include "cluster/owner_record.hpp"

namespace zelm::detail {

LabScan::LabScan() : membership_(current_membership()) {}

bool LabScan::lab_wide(DeviceManager& manager, std::string const& description) {
    // Held weakly: a manager unloaded after its plug-in's devices may be
    // followed by another at the same address, whose library is another.
    if (queried_manager_.lock().get() != &manager) {
        queried_manager_ = manager.weak_from_this();
        query_ = lab_wide_query_of(manager);
    }
    return marks_lab_wide(query_, manager, description);
}

void LabScan::read_owners() {
    read_ = true;
    try {
        for (auto& entry : membership_->client().list_prefix(cluster::owners_prefix)) {
            owners_.emplace(std::move(entry.key), std::move(entry.value));
        }
    } catch (cluster::UnavailableError const& e) {
        unavailable_ = e.what();
    } catch (std::exception const& e) {
        unavailable_ = cluster::UnavailableError(e.what()).what();
    }
}

std::optional<ScanResult> LabScan::judge(std::string const& plugin_path, DeviceManager& manager,
                                         std::string const& manager_path, std::string const& description) {
    if (!membership_ || !lab_wide(manager, description)) {
        return std::nullopt;
    }
    if (!read_) {
        read_owners();
    }
    if (unavailable_) {
        return DeviceQueryFailed{plugin_path, description, *unavailable_};
    }
    auto const found = owners_.find(owner_key_of(manager_path, description));
    auto& judged = judged_[{plugin_path, description}];
    if (found == owners_.end()) {
        judged.reset();
        return std::nullopt;
    }
    judged = parse_owner_record(found->second);
    return DeviceOccupied{plugin_path, description};
}

void LabScan::publish() { scanned_owners().update(std::move(judged_)); }

}  // namespace zelm::detail
