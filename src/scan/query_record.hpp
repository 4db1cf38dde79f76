// A query record: one device's answer as both levels of the query cache keep
// it, and how long and how large it may be.
//
// As JSON (the cache files' content) it is an object with the members
//   "info"     the device's information, when get_info gave JSON;
//   "error"    the error text get_info gave instead, a string;
//   "status"   the device's status, when get_status gave JSON;
//   "manager"  the text of the manager path the device was listed under;
//   "device"   the device's description as listed.
// The last two say which device the record answers for: lock identities are
// 64-bit hashes, and two devices whose identities collide share a cache file
// (and an in-process entry), so a record about another device is a miss.
#pragma once

#include <zelm/device.hpp>

#include "scan/compact_record.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zelm::detail {

// Both levels treat a record as fresh while its age is at most this.
inline constexpr std::chrono::seconds cache_lifetime{5};
// Cache files are writable by every user: larger, deeper or busier records
// are not ours and are never read. Real ones are a few hundred bytes of a
// few dozen values.
inline constexpr std::size_t max_record_size = 64 * 1024;
inline constexpr int max_record_depth = 128;
inline constexpr std::size_t max_record_values = 8192;

// The clocks the cache reads; tests replace them to reach the freshness
// boundary without waiting.
struct CacheClocks {
    std::chrono::steady_clock::time_point (*steady_now)();
    std::chrono::file_clock::time_point (*file_now)();
};
CacheClocks& cache_clocks();

// One listed device, as a query of it needs it.
struct QueriedDevice {
    nlohmann::json const& value;      // the description as listed
    std::string const& description;   // its compact text
    std::string const& manager_path;  // the text of the manager path it was listed under
    std::string const& lock_id;       // derived from those two texts
};

// A record as a scan reports it, rendered once when it is stored, so that
// scans answered from this process copy text instead of JSON values.
struct RenderedRecord {
    bool has_info = false;
    std::string error;          // "error", or empty
    std::string serial_number;  // of "info" (serial_number_of)
    std::string api;            // of "status" (api_of)
    std::string info;           // "info" as compact JSON, or empty
    std::string status;         // "status" as compact JSON, or empty
};

// Whether the record settles the query: information or an error.
bool answers(RenderedRecord const& record);

// A well-formed record (an object whose "error", if any, is a string) as a
// scan reports it. `text`, when given, is the text the record was parsed
// from or serialised as: where it is the record's compact serialisation,
// "info" and "status" are taken from it instead of being serialised again.
RenderedRecord render_record(nlohmann::json const& record, std::string_view text = {});
// The same with the members that compact_record_members found in that text.
RenderedRecord render_record(nlohmann::json const& record, std::optional<RecordMembers> const& members);

// Whether a well-formed `record` answers for `device` (its "manager" and
// "device" members name it, compared as compact text: 7 and 7.0 are two
// devices). `members` are what compact_record_members found in its text.
bool answers_for(nlohmann::json const& record, std::optional<RecordMembers> const& members,
                 QueriedDevice const& device);

// The record of the device's own answer: `info` and `status` are what its
// get_info and get_status returned.
nlohmann::json make_record(QueriedDevice const& device, TextResult const& info, TextResult const& status);

}  // namespace zelm::detail
