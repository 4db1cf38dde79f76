// `zelm info` and `zelm status` without --live: what scans know of a device
// (the shared query cache), so that they never own the device and work while
// another process owns it.
#pragma once

#include "commands.hpp"

#include <zelm/holder.hpp>
#include <zelm/query.hpp>

#include <chrono>
#include <optional>
#include <string>

namespace zelm::tool {

enum class AnswerPart {
    info,
    status,
};

// What the command prints.
struct CachedReport {
    std::string output;  // for standard output
    std::string note;    // for standard error, before it; empty for a current answer
};

// "42 s", "5 min", "3 h", "2 days": how old an answer is, rounded down.
std::string age_text(std::chrono::nanoseconds age);

// The report on the device called `name` (device_name) from `now`,
// what a scan reports of it now, and for an occupied device from `last`, its
// last cached answer, and `holder`, who holds it. An occupied device's last
// answer comes with a note naming the holder and the answer's age. Throws
// std::runtime_error naming the device when its query failed (now, or when it
// was last free), when it gave no status and that was asked for, and when it
// is occupied and was never queried.
CachedReport cached_report(AnswerPart part, std::string const& name, ScanResult const& now,
                           std::optional<CachedAnswer> const& last, std::optional<DeviceHolder> const& holder);

// Finds the device, asks the library what a scan knows of it and of its last
// answer and, when it is occupied, who holds it (find_device_holder: in a
// cluster also a holder on another host), and prints the report. Throws as
// choose_device and cached_report do.
void print_cached_answer(DeviceTarget const& target, AnswerPart part);

}  // namespace zelm::tool
