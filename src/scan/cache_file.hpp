// The record in a device's query lock file: the last answer of the device,
// shared by every scan on the machine while it is fresh. Every user of the
// machine can write these files, so a record is used only when it is fresh,
// small, well formed and about the very device asked for.
#pragma once

#include "locking/query_lock.hpp"
#include "scan/query_record.hpp"

#include <chrono>
#include <optional>
#include <string>

namespace zelm::detail {

// The file's record, rendered, when it is fresh (written at most the cache
// lifetime ago, or ahead of the clock by no more than that), well formed (a
// JSON object within the record limits whose "error", if any, is a string)
// and answers for `device`; nothing otherwise, also without a file. Never
// throws.
std::optional<RenderedRecord> read_cache_file(InterprocessLock const& lock, QueriedDevice const& device);

// A record as read back whatever its age, with that age.
struct AgedRecord {
    RenderedRecord record;
    std::chrono::nanoseconds age;  // zero for a time stamp ahead of the clock
};

// The file's record as read_cache_file gives it, but however old: what the
// device last answered. Never throws.
std::optional<AgedRecord> read_last_cache_file(InterprocessLock const& lock, QueriedDevice const& device);

// Replaces the file's content with `text`; does nothing without a file.
void write_cache_file(InterprocessLock const& lock, std::string const& text);

}  // namespace zelm::detail
