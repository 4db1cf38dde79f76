// A query record's members found in the record's own text. Every record this
// library writes is the compact serialisation of its value, so a scan that
// reads one from a cache file (or has just written one) can report "info"
// and "status" as those very bytes instead of serialising them once more.
// A text that is not exactly the compact serialisation of what it parses to
// (another writer's spacing, key order, escapes or number notation) is told
// apart, and its members are then serialised as usual.
#pragma once

#include <optional>
#include <string_view>

namespace zelm::detail {

// Spans of `text`; empty for a member the record does not have.
struct RecordMembers {
    std::string_view info;
    std::string_view status;
    std::string_view manager;  // with its quotes
    std::string_view device;
};

// The top-level "info", "status", "manager" and "device" values of `text` when `text`, a JSON text
// that parsed into an object, is exactly the JSON library's compact
// serialisation of that object: no white space, object keys in strictly
// ascending byte order, strings without escapes, numbers that are integers of
// at most 18 digits other than "-0". Nothing otherwise (also for a compact
// text that uses any other form, which merely costs the serialisation).
std::optional<RecordMembers> compact_record_members(std::string_view text);

}  // namespace zelm::detail
