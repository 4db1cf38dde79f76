// Reading and writing the record of a query lock file.
#include "scan/cache_file.hpp"

#include "json/bounded_json.hpp"

#include <algorithm>

namespace zelm::detail {
namespace {

using nlohmann::json;

bool is_well_formed(json const& record) {
    if (!record.is_object()) {
        return false;
    }
    auto const error = record.find("error");
    return error == record.end() || error->is_string();
}

std::optional<json> parse_record(std::string const& text) {
    try {
        auto record = parse_bounded(text, {.max_depth = max_record_depth, .max_values = max_record_values});
        if (record && is_well_formed(*record)) {
            return record;
        }
    } catch (...) {
        // Out of memory: a miss.
    }
    return std::nullopt;
}

// The file-system clock's now, in nanoseconds since the epoch.
std::chrono::nanoseconds file_now() {
    auto const now = std::chrono::file_clock::to_sys(cache_clocks().file_now());
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch());
}

// Whether a file last written at `written` is fresh now. A time in the future
// is a clock that was stepped back, or a time stamp someone set by hand: a
// small skew is forgiven, one beyond the lifetime makes the record stale (it
// would otherwise stay fresh until that time comes). Compared in whole
// seconds first, so that no time stamp, however far off, overflows the
// nanoseconds it is then compared in.
bool is_fresh(struct timespec const& written) {
    auto const now_ns = file_now();
    auto const now_s = std::chrono::duration_cast<std::chrono::seconds>(now_ns).count();
    auto const lifetime_s = std::chrono::seconds(cache_lifetime).count();
    if (written.tv_sec < now_s - lifetime_s - 1 || written.tv_sec > now_s + lifetime_s + 1) {
        return false;
    }
    auto const written_ns = std::chrono::seconds(written.tv_sec) + std::chrono::nanoseconds(written.tv_nsec);
    auto const age = now_ns - written_ns;
    return age <= cache_lifetime && age >= -cache_lifetime;
}

// How long ago `written` was: zero when it is ahead of the clock, the
// greatest age when it is too far behind to count in nanoseconds (compared in
// whole seconds first, as above).
std::chrono::nanoseconds age_of(struct timespec const& written) {
    auto const now_ns = file_now();
    auto const now_s = std::chrono::duration_cast<std::chrono::seconds>(now_ns).count();
    auto const longest_s = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::nanoseconds::max()).count();
    if (written.tv_sec < now_s - longest_s + 1) {
        return std::chrono::nanoseconds::max();
    }
    if (written.tv_sec > now_s) {
        return std::chrono::nanoseconds::zero();
    }
    auto const written_ns = std::chrono::seconds(written.tv_sec) + std::chrono::nanoseconds(written.tv_nsec);
    return std::max(now_ns - written_ns, std::chrono::nanoseconds::zero());
}

bool has_record_size(struct stat const& status) {
    return status.st_size > 0 && static_cast<std::size_t>(status.st_size) <= max_record_size;
}

// The record in the file, whose status the caller has checked: read whole,
// well formed and answering for `device`.
std::optional<RenderedRecord> read_record(InterprocessLock const& lock, struct stat const& status,
                                          QueriedDevice const& device) {
    try {
        std::string text(static_cast<std::size_t>(status.st_size), '\0');
        if (system_calls().pread(lock.fd(), text.data(), text.size(), 0) != status.st_size) {
            return std::nullopt;
        }
        auto const record = parse_record(text);
        if (!record) {
            return std::nullopt;
        }
        auto const members = compact_record_members(text);
        if (!answers_for(*record, members, device)) {
            return std::nullopt;
        }
        return render_record(*record, members);
    } catch (...) {
        return std::nullopt;  // out of memory: a miss
    }
}

}  // namespace

std::optional<RenderedRecord> read_cache_file(InterprocessLock const& lock, QueriedDevice const& device) {
    if (lock.fd() == -1) {
        return std::nullopt;
    }
    struct stat status {};
    if (system_calls().fstat(lock.fd(), &status) != 0 || !has_record_size(status) || !is_fresh(status.st_mtim)) {
        return std::nullopt;
    }
    return read_record(lock, status, device);
}

std::optional<AgedRecord> read_last_cache_file(InterprocessLock const& lock, QueriedDevice const& device) {
    if (lock.fd() == -1) {
        return std::nullopt;
    }
    struct stat status {};
    if (system_calls().fstat(lock.fd(), &status) != 0 || !has_record_size(status)) {
        return std::nullopt;
    }
    auto record = read_record(lock, status, device);
    if (!record) {
        return std::nullopt;
    }
    return AgedRecord{std::move(*record), age_of(status.st_mtim)};
}

void write_cache_file(InterprocessLock const& lock, std::string const& text) {
    if (lock.fd() == -1) {
        return;
    }
    // Readers hold the lock too, so none sees the file between these calls.
    system_calls().ftruncate(lock.fd(), 0);
    system_calls().pwrite(lock.fd(), text.data(), text.size(), 0);
}

}  // namespace zelm::detail
