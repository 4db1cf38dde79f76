#include "cluster/owner_record.hpp"

#include "json/bounded_json.hpp"
#include "json/utf8_text.hpp"
#include "locking/device_owner_lookup.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <chrono>
#include <vector>

namespace zelm::detail {
namespace {

template <typename Value>
Value member_or(nlohmann::json const& object, char const* name, Value fallback) {
    auto const found = object.find(name);
    if (found == object.end()) {
        return fallback;
    }
    if constexpr (std::is_same_v<Value, int>) {
        return found->is_number_integer() ? found->get<int>() : fallback;
    } else {
        return found->is_string() ? found->get<std::string>() : fallback;
    }
}

}  // namespace

cluster::Owner this_process_as_owner(std::string const& host_id) {
    auto const pid = static_cast<int>(::getpid());
    return {host_id, pid, command_of(pid).value_or(""), user_name_of(::geteuid()), utc_text(std::chrono::system_clock::now())};
}

std::string owner_record(cluster::Owner const& owner) {
    return nlohmann::json{{"host", owner.host},
                          {"pid", owner.pid},
                          {"command", owner.command},
                          {"user", owner.user},
                          {"since", owner.since}}
        .dump();
}

cluster::Owner parse_owner_record(std::string const& value) {
    // Anyone with access to the cluster can write a key: the value is
    // read within tight bounds.
    auto const parsed = parse_bounded(value, {.max_depth = 2, .max_values = 64});
    if (!parsed || !parsed->is_object()) {
        return {};
    }
    return {member_or(*parsed, "host", std::string()), member_or(*parsed, "pid", 0),
            member_or(*parsed, "command", std::string()), member_or(*parsed, "user", std::string()),
            member_or(*parsed, "since", std::string())};
}

}  // namespace zelm::detail
