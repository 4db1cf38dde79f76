// info and status from the query cache: a free device answered as a scan
// answers it, an occupied one by what it said when it was last free.
#include "cached_answer.hpp"

#include "device_session.hpp"
#include "escape.hpp"
#include "holder_output.hpp"
#include "output.hpp"
#include "status_line.hpp"

#include <fmt/format.h>

#include <stdexcept>

namespace zelm::tool {

namespace {

// The part asked for of a device that answered.
std::string part_of(AnswerPart part, std::string const& name, DeviceFound const& found) {
    if (part == AnswerPart::info) {
        return readable_json(found.info);
    }
    if (found.status.empty()) {
        throw std::runtime_error(name + " reported no status");
    }
    return readable_json(found.status);
}

// The output of a found device, or the error of a failed one; `when` says
// when the device answered, for the error.
std::string answer_of(AnswerPart part, std::string const& name, ScanResult const& answer, std::string_view when) {
    if (auto const* failed = std::get_if<DeviceQueryFailed>(&answer)) {
        throw std::runtime_error(fmt::format("query of {} failed{}: {}", name, when, failed->error));
    }
    return part_of(part, name, std::get<DeviceFound>(answer));
}

}  // namespace

std::string age_text(std::chrono::nanoseconds age) {
    using namespace std::chrono;
    if (age < minutes(2)) {
        return fmt::format("{} s", duration_cast<seconds>(age).count());
    }
    if (age < hours(2)) {
        return fmt::format("{} min", duration_cast<minutes>(age).count());
    }
    if (age < days(2)) {
        return fmt::format("{} h", duration_cast<hours>(age).count());
    }
    return fmt::format("{} days", duration_cast<days>(age).count());
}

CachedReport cached_report(AnswerPart part, std::string const& name, ScanResult const& now,
                           std::optional<CachedAnswer> const& last, std::optional<DeviceHolder> const& holder) {
    if (!std::holds_alternative<DeviceOccupied>(now)) {
        return {answer_of(part, name, now, ""), ""};
    }
    // A scan counts a device whose lock files cannot be used as occupied
    // too; no owner is then found, and only --live can tell why.
    auto const occupied = holder ? fmt::format("{} is occupied{}", name, by_holder(holder))
                                 : fmt::format("{} is occupied by an unknown process, or its lock files cannot be "
                                               "used (--live says which)",
                                               name);
    if (!last) {
        throw std::runtime_error(occupied + "; no answer is cached, as it was never queried while free");
    }
    auto const age = age_text(last->age);
    auto output = answer_of(part, name, last->result, fmt::format(" when it was last free, {} ago", age));
    return {std::move(output), fmt::format("{}; its last answer, {} old, follows", occupied, age)};
}

void print_cached_answer(DeviceTarget const& target, AnswerPart part) {
    auto const device = choose_device(target);
    auto const name = device_name(device);
    auto const now = explained("cannot query " + name, [&] {
        // A failed query is this command's error, told in its own words.
        LibraryLogMuted const muted;
        return query_device(device.plugin_path, device.description);
    });
    std::optional<CachedAnswer> last;
    std::optional<DeviceHolder> holder;
    if (std::holds_alternative<DeviceOccupied>(now)) {
        last = explained("cannot read the cached answer of " + name,
                         [&] { return last_cached_answer(device.plugin_path, device.description); });
        holder = explained("cannot look up the holder of " + name,
                           [&] { return find_device_holder(device.manager->get_path(), device.description); });
    }
    auto const report = cached_report(part, name, now, last, holder);
    if (!report.note.empty()) {
        StatusLine::instance().print(fmt::format("zelm {}: {}\n", part == AnswerPart::info ? "info" : "status",
                                                 escaped(report.note)));
    }
    print_stdout(report.output);
}

}  // namespace zelm::tool
