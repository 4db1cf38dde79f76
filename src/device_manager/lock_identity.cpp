// A device's lock identity: the name every process on the machine uses for
// one device, derived from its manager's path and its description.
#include <zelm/lock.hpp>

#include <fmt/format.h>

namespace zelm::detail {

std::uint64_t fnv1a_hash(std::string_view const& data) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (unsigned char const byte : data) {
        hash ^= byte;
        hash *= 1099511628211ULL;
    }
    return hash;
}

std::string make_lock_id(std::filesystem::path const& manager_path, nlohmann::json const& description) {
    std::string source = manager_path.native();
    source += '_';
    source += description.dump();
    return fmt::format("device_{:x}", fnv1a_hash(source));
}

}  // namespace zelm::detail
