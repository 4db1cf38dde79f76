// The progress a scan reports to its host's callback, device by device.
#pragma once

#include <zelm/scan.hpp>

#include <cstddef>
#include <exception>

namespace zelm::detail {

// Carries an exception of the host's progress callback out of the scan. It
// derives from nothing, so the scan's handlers of plug-in failures, which
// catch std::exception, let it pass.
struct ProgressStopped {
    std::exception_ptr error;
};

// Counts scanned devices and tells the callback, if there is one; without
// one a device costs a single test, so the plain scan pays nothing more.
class ProgressTicker {
public:
    ProgressTicker(ScanProgressCallback const* callback, std::size_t plugin_count)
        : callback_(callback != nullptr && *callback ? callback : nullptr) {
        progress_.plugin_count = plugin_count;
    }

    void start_plugin(std::size_t index) { progress_.plugin_index = index; }

    void device_done() {
        if (callback_ != nullptr) {
            tell();
        }
    }

private:
    // Throws ProgressStopped with whatever the callback threw.
    void tell();

    ScanProgressCallback const* callback_;
    ScanProgress progress_;
};

}  // namespace zelm::detail
