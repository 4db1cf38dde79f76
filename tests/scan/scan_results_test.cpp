// Building scan results: serial number and API derivation, and which result a
// query outcome becomes.
#include "scan/scan_results.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace zelm::detail {
namespace {

using nlohmann::json;

struct SerialCase {
    char const* name;
    json info;
    char const* serial;
};

void PrintTo(SerialCase const& test_case, std::ostream* out) { *out << test_case.name; }

class SerialNumber : public testing::TestWithParam<SerialCase> {};

TEST_P(SerialNumber, IsDerivedFromInformation) { EXPECT_EQ(serial_number_of(GetParam().info), GetParam().serial); }

INSTANTIATE_TEST_SUITE_P(
    Cases, SerialNumber,
    testing::Values(
        SerialCase{"String", json::parse(R"({"Serial Number":"SN-7"})"), "SN-7"},
        SerialCase{"Integer", json::parse(R"({"Serial Number":12345})"), "12345"},
        SerialCase{"Negative", json::parse(R"({"Serial Number":-3})"), "-3"},
        SerialCase{"FloatTruncates", json::parse(R"({"Serial Number":12.9})"), "12"},
        SerialCase{"NegativeFloatTruncatesTowardZero", json::parse(R"({"Serial Number":-12.9})"), "-12"},
        SerialCase{"UnsignedKeepsLow32Bits", json::parse(R"({"Serial Number":4294967297})"), "1"},
        SerialCase{"WrapsToNegative", json::parse(R"({"Serial Number":2147483648})"), "-2147483648"},
        SerialCase{"LargeNegativeKeepsLow32Bits", json::parse(R"({"Serial Number":-4294967297})"), "-1"},
        SerialCase{"HugeFloatSaturatesHigh", json::parse(R"({"Serial Number":1e30})"), "2147483647"},
        SerialCase{"HugeNegativeFloatSaturatesLow", json::parse(R"({"Serial Number":-1e30})"), "-2147483648"},
        SerialCase{"Boolean", json::parse(R"({"Serial Number":true})"), ""},
        SerialCase{"Null", json::parse(R"({"Serial Number":null})"), ""},
        SerialCase{"Object", json::parse(R"({"Serial Number":{"a":1}})"), ""},
        SerialCase{"Missing", json::parse(R"({"serial":"x"})"), ""},
        SerialCase{"InformationIsArray", json::parse(R"(["Serial Number"])"), ""},
        SerialCase{"InformationIsString", json("Serial Number"), ""}),
    [](auto const& test_case) { return std::string(test_case.param.name); });

TEST(Api, IsTheStatusStringMemberOnly) {
    EXPECT_EQ(api_of(json::parse(R"({"API":"rev-b"})")), "rev-b");
    EXPECT_EQ(api_of(json::parse(R"({"API":2})")), "");
    EXPECT_EQ(api_of(json::parse(R"(["API"])")), "");
    EXPECT_EQ(api_of(json::parse(R"({})")), "");
}

TEST(ScanResult, ErrorWinsOverInformation) {
    auto const outcome = render_record(json::parse(R"({"info":{"Serial Number":"1"},"error":"device on fire"})"));
    ScanResults results;
    auto const& result = append_scan_result(results, "p.so", "{}", outcome);
    ASSERT_TRUE(std::holds_alternative<DeviceQueryFailed>(result));
    EXPECT_EQ(std::get<DeviceQueryFailed>(result).error, "device on fire");
}

TEST(ScanResult, NeitherInformationNorErrorIsNoInfoReturned) {
    auto const outcome = render_record(json::parse(R"({"status":{"API":"x"}})"));
    ScanResults results;
    auto const& result = append_scan_result(results, "p.so", R"({"a":1})", outcome);
    ASSERT_TRUE(std::holds_alternative<DeviceQueryFailed>(result));
    auto const& failed = std::get<DeviceQueryFailed>(result);
    EXPECT_EQ(failed.plugin_path, "p.so");
    EXPECT_EQ(failed.description, R"({"a":1})");
    EXPECT_EQ(failed.error, "no info returned");
}

TEST(ScanResult, FoundCarriesCompactInformationAndStatus) {
    auto const outcome = render_record(json::parse(R"({"info":{ "Serial Number" : 7 },"status":{ "API" : "x" }})"));
    ScanResults results;
    auto const& result = append_scan_result(results, "./p.so", R"({"a":1})", outcome);
    ASSERT_TRUE(std::holds_alternative<DeviceFound>(result));
    auto const& found = std::get<DeviceFound>(result);
    EXPECT_EQ(found.plugin_path, "./p.so");
    EXPECT_EQ(found.serial_number, "7");
    EXPECT_EQ(found.api, "x");
    EXPECT_EQ(found.info, R"({"Serial Number":7})");
    EXPECT_EQ(found.status, R"({"API":"x"})");
}

TEST(ScanResult, FoundWithoutStatusHasEmptyStatusAndApi) {
    auto const outcome = render_record(json::parse(R"({"info":[1,2]})"));
    ScanResults results;
    auto const& result = append_scan_result(results, "p.so", "{}", outcome);
    ASSERT_TRUE(std::holds_alternative<DeviceFound>(result));
    auto const& found = std::get<DeviceFound>(result);
    EXPECT_EQ(found.info, "[1,2]");
    EXPECT_EQ(found.serial_number, "");
    EXPECT_EQ(found.status, "");
    EXPECT_EQ(found.api, "");
}

}  // namespace
}  // namespace zelm::detail
