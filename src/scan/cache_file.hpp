// The record in a device's query lock file: the last answer of the device,
// shared by every scan on the machine while it is fresh. Every user of the
// machine can write these files, so a record is used only when it is fresh,
// small, well formed and about the very device asked for.
#pragma once

#include "locking/query_lock.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace zelm::detail {

// A record as read from its file, with the text it was read from.
struct CachedRecord {
    nlohmann::json record;
    std::string text;
};

// The file's record when it is fresh and well formed (a JSON object no larger
// or deeper than the cache's limits whose "error", if any, is a string);
// nothing otherwise, also without a file. Never throws.
std::optional<CachedRecord> read_cache_file(InterprocessLock const& lock);

// Replaces the file's content with `text`; does nothing without a file.
void write_cache_file(InterprocessLock const& lock, std::string const& text);

}  // namespace zelm::detail
