// scan_devices_report: the scan of scan_devices, on one thread or several,
// keeping what it learns (manager paths, holders, last serial numbers, why a
// plug-in failed) instead of logging it.
#include <zelm/cluster.hpp>
#include <zelm/errors.hpp>
#include <zelm/holder.hpp>
#include <zelm/lock.hpp>
#include <zelm/scan.hpp>

#include "host/device_holder.hpp"
#include "loader/plugin_pin.hpp"
#include "locking/query_lock.hpp"
#include "scan/cache_file.hpp"
#include "scan/device_scan.hpp"
#include "scan/scan_progress.hpp"
#include "scan/scan_results.hpp"
#include "text/one_line.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>

namespace zelm {
namespace {

// One plug-in's part of the report, and a non-standard exception of its
// code, kept until every thread is done.
struct PluginPart {
    std::vector<ScannedDevice> devices;
    std::optional<PluginFailure> failure;
    std::exception_ptr foreign;
};

// The serial number that the device's last cached answer showed.
std::optional<std::string> last_serial(nlohmann::json const& value, std::string const& description,
                                       detail::DeviceNote const& note) {
    try {
        // Taken as every reader takes it: a query still writing its answer
        // is waited for.
        detail::InterprocessLock const lock(note.lock_id);
        auto const last = detail::read_last_cache_file(lock, {value, description, note.manager_path, note.lock_id});
        if (!last) {
            return std::nullopt;
        }
        ScanResults found;
        detail::append_scan_result(found, {}, description, last->record);
        auto const* answer = std::get_if<DeviceFound>(&found.front());
        return answer != nullptr && !answer->serial_number.empty() ? std::optional(answer->serial_number)
                                                                   : std::nullopt;
    } catch (std::exception const&) {
        return std::nullopt;
    }
}

// Why an occupied device that nobody can be named for counts as occupied
// when its lock cannot be used; none when somebody holds it (or nobody does
// by now). Takes its ownership lock for an instant when it is free, as a
// scan's own probe does.
std::optional<std::string> lock_error(std::string const& lock_id) {
    try {
        detail::OwnershipLock const probe(lock_id, true);
        return std::nullopt;
    } catch (LockUnusableError const& e) {
        return detail::one_line(e.what());
    } catch (std::exception const&) {
        return std::nullopt;
    }
}

void learn_about_occupied(ScannedDevice& device, detail::DeviceNote const& note) {
    auto const& occupied = std::get<DeviceOccupied>(device.result);
    // The scan asked the cluster once for every lab-wide holder: a device it
    // found no key for is held on this machine only.
    auto const lab = cluster::scanned_lab_owner(occupied);
    device.holder = lab ? std::optional(detail::lab_holder(*lab)) : detail::lock_holder(note.lock_id);
    auto const value = nlohmann::json::parse(occupied.description);
    device.last_serial_number = last_serial(value, occupied.description, note);
    if (!device.holder) {
        device.lock_error = lock_error(note.lock_id);
    }
}

std::vector<ScannedDevice> scanned_devices(ScanResults results, std::vector<detail::DeviceNote> const& notes) {
    std::vector<ScannedDevice> devices;
    devices.reserve(results.size());
    for (std::size_t i = 0; i < results.size(); ++i) {
        devices.push_back({std::move(results[i]), notes[i].manager_path});
        if (std::holds_alternative<DeviceOccupied>(devices.back().result)) {
            learn_about_occupied(devices.back(), notes[i]);
        }
    }
    return devices;
}

PluginPart scan_plugin(std::filesystem::path const& plugin_path, detail::ProgressTicker& ticker) {
    PluginPart part;
    auto const failed = [&](PluginFailure::Step step, std::string reason) {
        part.failure = PluginFailure{plugin_path.native(), step, detail::one_line(std::move(reason))};
    };
    detail::ScanSession session;
    std::vector<detail::DeviceNote> notes;
    session.notes = &notes;
    ScanResults results;
    // Outside the try block: the plug-in stays loaded while an exception
    // whose type may be its own lives.
    std::shared_ptr<DeviceManager> manager;
    try {
        manager = get_device_manager(plugin_path);
        if (auto why = detail::scan_device_list(plugin_path, *manager, session, ticker, results)) {
            failed(PluginFailure::Step::list, std::move(*why));
        }
    } catch (detail::ProgressStopped const&) {
        throw;
    } catch (detail::GetPathFailed const& e) {
        failed(PluginFailure::Step::get_path, e.what());
    } catch (std::exception const& e) {
        failed(manager ? PluginFailure::Step::list : PluginFailure::Step::load, e.what());
    } catch (...) {
        if (manager) {
            detail::pin_plugin_for_current_exception(*manager);
        }
        part.foreign = std::current_exception();
    }
    session.lab.publish();
    part.devices = scanned_devices(std::move(results), notes);
    return part;
}

// The plug-ins' parts, scanned by `jobs` threads that each take the next
// plug-in left. The host's progress callback is called one call at a time,
// with the devices of every thread counted together; once it throws, every
// thread stops at its next device.
class ParallelScan {
public:
    ParallelScan(std::vector<std::filesystem::path> const& plugins, ScanProgressCallback const& progress)
        : plugins_(plugins), parts_(plugins.size()), progress_(progress) {}

    void run(unsigned jobs) {
        auto const threads = std::min<std::size_t>(std::max(jobs, 1U), plugins_.size());
        if (threads <= 1) {
            work();
            return;
        }
        std::vector<std::jthread> workers;
        for (std::size_t i = 0; i < threads; ++i) {
            workers.emplace_back([this] { work(); });
        }
    }

    ScanReport report() && {
        if (stopped_) {
            std::rethrow_exception(stopped_);
        }
        for (auto const& part : parts_) {
            if (part.foreign) {
                std::rethrow_exception(part.foreign);
            }
        }
        ScanReport report;
        for (auto& part : parts_) {
            std::ranges::move(part.devices, std::back_inserter(report.devices));
            if (part.failure) {
                report.failures.push_back(std::move(*part.failure));
            }
        }
        return report;
    }

private:
    void work() {
        ScanProgressCallback counted;
        if (progress_) {
            counted = [this](ScanProgress const& progress) { tell(progress); };
        }
        detail::ProgressTicker ticker(&counted, plugins_.size());
        for (auto index = next_++; index < plugins_.size() && !stopping_; index = next_++) {
            ticker.start_plugin(index);
            try {
                parts_[index] = scan_plugin(plugins_[index], ticker);
            } catch (detail::ProgressStopped const&) {
                return;  // the host's exception is kept by tell()
            }
        }
    }

    // Throws to stop this thread's scan once any thread's callback threw.
    void tell(ScanProgress const& progress) {
        std::lock_guard guard(mutex_);
        if (stopping_) {
            throw StopQuietly{};
        }
        try {
            progress_({progress.plugin_index, plugins_.size(), ++devices_done_});
        } catch (...) {
            stopped_ = std::current_exception();
            stopping_ = true;
            throw;
        }
    }

    // Thrown into a scan that another thread's callback stopped; the ticker
    // carries it out as a ProgressStopped.
    struct StopQuietly {};

    std::vector<std::filesystem::path> const& plugins_;
    std::vector<PluginPart> parts_;  // each written by one thread only
    ScanProgressCallback const& progress_;
    std::atomic<std::size_t> next_ = 0;
    std::atomic<bool> stopping_ = false;
    std::mutex mutex_;  // one callback at a time; guards stopped_ and devices_done_
    // stopped_ is read once the threads are joined.
    std::exception_ptr stopped_;
    std::size_t devices_done_ = 0;
};

}  // namespace

ScanReport scan_devices_report(std::vector<std::filesystem::path> const& plugin_paths, ScanOptions const& options) {
    ParallelScan scan(plugin_paths, options.progress);
    scan.run(options.jobs);
    return std::move(scan).report();
}

}  // namespace zelm
