// A device's lock identity: the name every process on the machine uses for
// one device, derived from its manager's path and its description.
#include "locking/lock_identity.hpp"

#include <zelm/lock.hpp>

#include "json/bounded_json.hpp"

#include <algorithm>
#include <charconv>

namespace zelm::detail {
namespace {

constexpr std::uint64_t fnv_offset_basis = 14695981039346656037ULL;
constexpr std::uint64_t fnv_prime = 1099511628211ULL;
constexpr std::size_t max_hash_digits = 16;

// FNV-1a goes byte by byte, so the parts of the hashed text need not be
// joined into one string first.
std::uint64_t fnv1a_continue(std::uint64_t hash, std::string_view data) {
    for (unsigned char const byte : data) {
        hash ^= byte;
        hash *= fnv_prime;
    }
    return hash;
}

}  // namespace

std::uint64_t fnv1a_hash(std::string_view const& data) { return fnv1a_continue(fnv_offset_basis, data); }

std::string make_lock_id_from_text(std::string_view manager_path, std::string_view compact_description) {
    auto hash = fnv1a_continue(fnv_offset_basis, manager_path);
    hash = fnv1a_continue(hash, "_");
    hash = fnv1a_continue(hash, compact_description);
    std::string id(lock_id_prefix);
    id.resize(lock_id_prefix.size() + max_hash_digits);  // room for the longest hash
    auto const digits = id.data() + lock_id_prefix.size();
    auto const end = std::to_chars(digits, id.data() + id.size(), hash, 16).ptr;
    id.resize(static_cast<std::size_t>(end - id.data()));
    return id;
}

bool is_lock_id(std::string_view text) {
    if (!text.starts_with(lock_id_prefix)) {
        return false;
    }
    auto const digits = text.substr(lock_id_prefix.size());
    auto const is_digit = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    return !digits.empty() && digits.size() <= max_hash_digits && (digits.size() == 1 || digits.front() != '0') &&
           std::ranges::all_of(digits, is_digit);
}

std::string make_lock_id(std::filesystem::path const& manager_path, nlohmann::json const& description) {
    return make_lock_id_from_text(manager_path.native(), description.dump());
}

nlohmann::json parse_description(std::string const& description) {
    if (auto value = parse_bounded(description)) {
        return std::move(*value);
    }
    try {
        [[maybe_unused]] auto const unbounded = nlohmann::json::parse(description);
    } catch (nlohmann::json::parse_error const&) {
        throw;
    } catch (nlohmann::json::exception const& e) {
        throw nlohmann::json::parse_error::create(101, 0, std::string("description is not usable JSON: ") + e.what(),
                                                  nullptr);
    }
    throw nlohmann::json::parse_error::create(
        101, 0, "description nested deeper than " + std::to_string(max_json_depth) + " levels", nullptr);
}

}  // namespace zelm::detail
