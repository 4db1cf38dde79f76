// Lock identity: FNV-1a 64 and the identity text derived from a manager path
// and a parsed description.
#include <zelm/lock.hpp>

#include <gtest/gtest.h>

#include <charconv>
#include <string>

namespace {

using nlohmann::json;
using zelm::detail::fnv1a_hash;
using zelm::detail::make_lock_id;

// Lower-case hex without leading zeros, written independently of the code
// under test.
std::string hex(std::uint64_t value) {
    char buffer[17];
    auto const end = std::to_chars(buffer, buffer + sizeof buffer, value, 16).ptr;
    return std::string(buffer, end);
}

TEST(Fnv1a, PublishedTestVectors) {
    EXPECT_EQ(fnv1a_hash(""), 0xcbf29ce484222325ULL);
    EXPECT_EQ(fnv1a_hash("a"), 0xaf63dc4c8601ec8cULL);
    EXPECT_EQ(fnv1a_hash("foobar"), 0x85944171f73967e8ULL);
}

TEST(Fnv1a, BytesAboveSevenBitsCountAsUnsigned) {
    // Sign-extending 0xff would XOR in 0xffffffffffffffff instead.
    std::uint64_t const expected = (0xcbf29ce484222325ULL ^ 0xffULL) * 0x100000001b3ULL;
    EXPECT_EQ(fnv1a_hash("\xff"), expected);
}

TEST(LockId, WorkedExample) {
    auto const description = json::parse(R"({"b":1,"Serial Number":"A1"})");
    EXPECT_EQ(make_lock_id("/opt/m.so", description), "device_a32b994d22bfe5f4");
    EXPECT_EQ(make_lock_id("/opt/m.so", description),
              "device_" + hex(fnv1a_hash(R"(/opt/m.so_{"Serial Number":"A1","b":1})")));
}

TEST(LockId, SameDeviceWrittenDifferentlyGivesOneIdentity) {
    struct Case {
        char const* first;
        char const* second;
    };
    for (auto const& [first, second] : {
             Case{R"({"b":1,"a":"x"})", R"({"a":"x","b":1})"},
             Case{R"({"a":[1,2],"b":{"c":null}})", " {\n \"b\" : { \"c\" : null } ,\t\"a\" : [ 1 , 2 ] }\n"},
             Case{R"({"v":1.50})", R"({"v":1.5})"},
             Case{R"({"v":1e2})", R"({"v":100.0})"},
         }) {
        EXPECT_EQ(make_lock_id("/p.so", json::parse(first)), make_lock_id("/p.so", json::parse(second)))
            << first << " vs " << second;
    }
}

TEST(LockId, AnyDifferenceGivesAnotherIdentity) {
    struct Case {
        char const* path_a;
        char const* description_a;
        char const* path_b;
        char const* description_b;
    };
    for (auto const& [path_a, description_a, path_b, description_b] : {
             Case{"/p.so", R"({"v":1})", "/p.so", R"({"v":1.0})"},
             Case{"/p.so", R"({"v":1})", "/p.so", R"({"v":2})"},
             Case{"/p.so", R"({"v":1})", "/p.so", R"({"v":1,"w":0})"},
             Case{"/p.so", R"({"v":"1"})", "/p.so", R"({"v":1})"},
             Case{"/opt/m.so", R"({"v":1})", "/opt/./m.so", R"({"v":1})"},
         }) {
        EXPECT_NE(make_lock_id(path_a, json::parse(description_a)), make_lock_id(path_b, json::parse(description_b)))
            << path_a << description_a << " vs " << path_b << description_b;
    }
}

TEST(LockId, EmptyPathStartsTheSourceWithTheUnderscore) {
    EXPECT_EQ(make_lock_id("", json::parse(R"({"a":1})")), "device_" + hex(fnv1a_hash(R"(_{"a":1})")));
}

TEST(LockId, AnyJsonValueHasAnIdentity) {
    for (auto const& value : {json(nullptr), json(7), json("text"), json::array({1, "x"})}) {
        EXPECT_EQ(make_lock_id("/p.so", value), "device_" + hex(fnv1a_hash("/p.so_" + value.dump())));
    }
}

TEST(LockId, InvalidUtf8IsRefused) {
    try {
        make_lock_id("/p.so", json{{"name", "\xff\xfe"}});
        ADD_FAILURE() << "no exception";
    } catch (json::type_error const& error) {
        EXPECT_EQ(error.id, 316);
    }
}

TEST(LockId, NoLeadingZeros) {
    // About one hash in sixteen starts with a zero nibble: search for one.
    for (int i = 0; i < 5000; ++i) {
        json const description{{"n", i}};
        auto const hash = fnv1a_hash("/p.so_" + description.dump());
        if (hash >> 60 != 0) {
            continue;
        }
        auto const id = make_lock_id("/p.so", description);
        EXPECT_EQ(id, "device_" + hex(hash));
        EXPECT_LT(id.size(), 23u);
        EXPECT_NE(id[7], '0');
        return;
    }
    FAIL() << "no hash with a leading zero nibble among the inputs tried";
}

}  // namespace
