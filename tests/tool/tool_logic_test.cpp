// The tool's logic, called directly: parsing of what people type, escaping
// and tables, plug-in name resolution, JSON output and the isolated scan's
// wire format.
#include "arguments.hpp"
#include "escape.hpp"
#include "output.hpp"
#include "plugin_directory.hpp"
#include "scan_command.hpp"
#include "scan_records.hpp"
#include "table.hpp"

#include <test_support.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace zelm::tool {
namespace {

namespace fs = std::filesystem;

TEST(Escaping, ShowsControlsBackslashesAndInvalidBytesAndKeepsOtherText) {
    struct Case {
        std::string text;
        std::string shown;
    };
    std::vector<Case> const cases{
        {"", ""},
        {"SIM-0001 {\"a\":1}", "SIM-0001 {\"a\":1}"},
        {"line\nbreak\r\ttab", "line\\nbreak\\r\\ttab"},
        {"\x1b[2J\x1b]0;title\x07", "\\x1b[2J\\x1b]0;title\\x07"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"del\x7f", "del\\x7f"},
        {"back\\slash \\x1b", "back\\\\slash \\\\x1b"},  // an escape in the text cannot pass for one
        {"Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80", "Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"c1 \xc2\x9b" "2J", "c1 \\u{9b}2J"},                         // U+009B, a one-character CSI
        {"\xc2\x80\xc2\x9f\xc2\xa0", "\\u{80}\\u{9f}\xc2\xa0"},       // the C1 range and just past it
        {"abc\xe2\x80\xae" "def", "abc\\u{202e}def"},                // right-to-left override
        {"\xe2\x81\xa6\xe2\x81\xa9\xe2\x80\x8f\xd8\x9c", "\\u{2066}\\u{2069}\\u{200f}\\u{61c}"},
        {"bad\xff", "bad\\xff"},
        {"\xc3", "\\xc3"},                          // cut short
        {"\xc3(", "\\xc3("},                        // not followed by a continuation byte
        {"\xc0\xaf", "\\xc0\\xaf"},                 // overlong '/'
        {"\xe0\x80\xaf", "\\xe0\\x80\\xaf"},        // overlong, three bytes
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},        // a surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // beyond U+10FFFF
        {"\x80x", "\\x80x"},                        // a stray continuation byte
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(escaped(c.text), c.shown);
    }
}

TEST(Table, EveryCellIsEscapedAndEachRowStaysOneAlignedLine) {
    std::vector<TableRow> const rows{
        {"found", "S\n1", "ok"},
        {"failed", "\x1b[2J", "forged\nfound  S-2  row"},
        {"found", "\xc3\xbc\xff", "last"},
    };
    auto const text = render_table({"STATE", "SERIAL", "TEXT"}, rows);

    EXPECT_EQ(text,
              "STATE   SERIAL   TEXT\n"
              "found   S\\n1     ok\n"
              "failed  \\x1b[2J  forged\\nfound  S-2  row\n"
              "found   \xc3\xbc\\xff    last\n");
}

TEST(Table, ColumnsFitTheirWidestCellInCharactersAndTheLastIsNotPadded) {
    auto const text = render_table({"A", "B"}, {{"\xc3\xa4\xc3\xa4\xc3\xa4", "x"}, {"b", ""}});
    EXPECT_EQ(text, "A    B\n\xc3\xa4\xc3\xa4\xc3\xa4  x\nb\n");
}

TEST(Numbers, DecimalOrHexadecimalWithinTheType) {
    struct Case {
        char const* text;
        std::optional<std::uint32_t> value;
    };
    std::vector<Case> const cases{
        {"0", 0},           {"42", 42},         {"010", 10},        {"0x10", 16},
        {"0XfF", 255},      {"4294967295", 4294967295U},            {"0xffffffff", 0xffffffffU},
        {"4294967296", {}}, {"0x100000000", {}}, {"", {}},          {"0x", {}},
        {"-1", {}},         {"+1", {}},         {"1 ", {}},         {" 1", {}},
        {"0x1g", {}},       {"12abc", {}},      {"1.0", {}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.text);
        auto const parsed = parse_number<std::uint32_t>(c.text);
        ASSERT_EQ(parsed.has_value(), c.value.has_value()) << (parsed ? "" : parsed.error());
        if (c.value) {
            EXPECT_EQ(*parsed, *c.value);
        }
    }
    EXPECT_EQ(parse_number<std::uint32_t>("4294967296").error(), "number out of range");
    EXPECT_EQ(parse_number<std::uint64_t>("0xffffffffffffffff").value(), std::numeric_limits<std::uint64_t>::max());
}

TEST(HexBytes, ParseWithSeparatorsAndReadBackWhatIsFormatted) {
    using Bytes = std::vector<unsigned char>;
    struct Case {
        char const* text;
        std::optional<Bytes> bytes;
    };
    std::vector<Case> const cases{
        {"", Bytes{}},
        {"deadBEEF", Bytes{0xde, 0xad, 0xbe, 0xef}},
        {"de ad:be-ef\n00", Bytes{0xde, 0xad, 0xbe, 0xef, 0x00}},
        {"abc", {}},
        {"zz", {}},
        {"0x01", {}},
        {"a b", {}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.text);
        auto const parsed = parse_hex_bytes(c.text);
        ASSERT_EQ(parsed.has_value(), c.bytes.has_value());
        if (c.bytes) {
            EXPECT_EQ(*parsed, *c.bytes);
        }
    }

    // The 0x form, which people write for one byte, is refused saying so.
    for (auto const* text : {"0xde", "de 0Xad"}) {
        EXPECT_EQ(parse_hex_bytes(text).error(), R"(write bytes as hex pairs without 0x: "de ad", not "0xde 0xad")")
            << text;
    }

    Bytes all(40);
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<unsigned char>(i * 7);
    }
    auto const text = format_hex_bytes(all);
    EXPECT_EQ(std::ranges::count(text, '\n'), 3);  // 16 + 16 + 8
    EXPECT_TRUE(text.starts_with("00 07 0e 15")) << text;
    EXPECT_EQ(parse_hex_bytes(text).value(), all);
    EXPECT_EQ(format_hex_bytes({}), "");
}

TEST(Seconds, FiniteAndWithinTheClocksRange) {
    struct Case {
        char const* text;
        bool zero_allowed;
        std::optional<double> seconds;
    };
    std::vector<Case> const cases{
        {"0", true, 0.0},          {"0", false, {}},          {"0.25", false, 0.25},   {"30", false, 30.0},
        {"1e3", true, 1000.0},     {"1e9", true, 1e9},        {"1e10", true, {}},      {"1e10", false, {}},
        {"inf", true, {}},         {"infinity", false, {}},   {"nan", true, {}},       {"-nan", false, {}},
        {"-1", true, {}},          {"-0.5", false, {}},       {"1e400", true, {}},     {"-1e400", true, {}},
        {"", true, {}},            {"5s", true, {}},          {"0x10", true, {}},      {" 1", true, {}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(std::string(c.text) + (c.zero_allowed ? " (zero allowed)" : ""));
        auto const parsed = parse_seconds(c.text, c.zero_allowed);
        ASSERT_EQ(parsed.has_value(), c.seconds.has_value()) << (parsed ? std::to_string(*parsed) : parsed.error());
        if (c.seconds) {
            EXPECT_EQ(*parsed, *c.seconds);
        }
    }
}

// The current directory changed for a test's duration.
class ScopedCurrentDirectory {
public:
    explicit ScopedCurrentDirectory(fs::path const& directory) : previous_(fs::current_path()) {
        fs::current_path(directory);
    }
    ~ScopedCurrentDirectory() { fs::current_path(previous_); }
    ScopedCurrentDirectory(ScopedCurrentDirectory const&) = delete;
    ScopedCurrentDirectory& operator=(ScopedCurrentDirectory const&) = delete;

private:
    fs::path previous_;
};

TEST(PluginNames, ABareNameIsLookedUpInThePluginDirectoryOnly) {
    test::TempDir const plugins;
    test::TempDir const shared;
    std::ofstream(shared.path() / "sim_manager.so") << "planted";
    test::ScopedEnv const plugin_dir("ZELM_PLUGIN_DIR", plugins.path().native());
    ScopedCurrentDirectory const in_shared(shared.path());

    struct Case {
        fs::path typed;
        fs::path resolved;
    };
    std::vector<Case> const cases{
        {"sim_manager.so", plugins.path() / "sim_manager.so"},  // though the current directory has one
        {"missing_manager.so", plugins.path() / "missing_manager.so"},
        {"./sim_manager.so", "./sim_manager.so"},
        {"sub/x_manager.so", "sub/x_manager.so"},
        {"/opt/zelm/x_manager.so", "/opt/zelm/x_manager.so"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.typed);
        EXPECT_EQ(resolve_plugin(c.typed), c.resolved);
    }
}

TEST(JsonOutput, BytesThatAreNotUtf8BecomeReplacementCharacters) {
    nlohmann::ordered_json const value{{"error", "bad \xff\xfe end"}, {"ok", "\xc3\xbc"}};
    auto const text = json_text(value);
    EXPECT_EQ(text, "{\n  \"error\": \"bad \xef\xbf\xbd\xef\xbf\xbd end\",\n  \"ok\": \"\xc3\xbc\"\n}\n");
    EXPECT_TRUE(nlohmann::json::parse(text).is_object());
}

// Each member of a scanned device, so that outcomes compare in tests.
std::vector<std::string> fields(ScannedDevice const& device) {
    auto fields = std::visit(
        [](auto const& result) -> std::vector<std::string> {
            using Result = std::decay_t<decltype(result)>;
            if constexpr (std::is_same_v<Result, DeviceFound>) {
                return {"found", result.plugin_path, result.description, result.serial_number,
                        result.api,   result.info,        result.status};
            } else if constexpr (std::is_same_v<Result, DeviceOccupied>) {
                return {"occupied", result.plugin_path, result.description};
            } else {
                return {"failed", result.plugin_path, result.description, result.error};
            }
        },
        device.result);
    fields.push_back(device.manager_path);
    if (device.holder) {
        auto const& holder = *device.holder;
        fields.insert(fields.end(), {std::to_string(holder.pid), holder.command.value_or("(none)"),
                                     holder.user.value_or("(none)"), holder.host.value_or("(none)"),
                                     holder.since.value_or("(none)"), holder.lab_wide ? "lab-wide" : "local"});
    }
    fields.push_back(device.last_serial_number.value_or("(none)"));
    fields.push_back(device.lock_error.value_or("(none)"));
    return fields;
}

std::vector<std::vector<std::string>> fields(ScanOutcome const& outcome) {
    std::vector<std::vector<std::string>> all;
    for (auto const& device : outcome.report.devices) {
        all.push_back(fields(device));
    }
    for (auto const& failure : outcome.report.failures) {
        all.push_back({failure.plugin_path, std::to_string(static_cast<int>(failure.step)), failure.reason});
    }
    all.push_back(outcome.stopped);
    return all;
}

// The library lets a non-standard exception from plug-in code out of the
// whole scan; the tool's scan loses only that plug-in, on any number of
// threads.
TEST(ScanOutcome, ANonStandardExceptionCostsOnlyThePluginThatThrewIt) {
    test::ScopedTmpdir const tmpdir;
    test::ScopedEnv const no_config("ZELM_SIM_CONFIG", std::nullopt);
    std::vector<fs::path> const plugins{ZELM_SIM_PLUGIN, test::int_throwing_plugin_path, ZELM_SIM_PLUGIN};
    auto const alone = scan_devices_report({ZELM_SIM_PLUGIN}).devices.size();
    ASSERT_GT(alone, 0U);
    for (unsigned const jobs : {1U, 3U}) {
        SCOPED_TRACE(jobs);
        std::size_t progress_calls = 0;
        auto const outcome = scan_outcome(plugins, {.jobs = jobs, .progress = [&](ScanProgress const& progress) {
                                                         EXPECT_EQ(progress.plugin_count, plugins.size());
                                                         ++progress_calls;
                                                     }});
        EXPECT_EQ(outcome.stopped, std::vector<std::string>{test::int_throwing_plugin_path.native()});
        EXPECT_EQ(outcome.report.devices.size(), 2 * alone);
        EXPECT_TRUE(outcome.report.failures.empty());
        EXPECT_GE(progress_calls, 2 * alone);
    }
}

ScanOutcome round_trip(ScanOutcome const& outcome) { return outcome_from_wire(outcome_to_wire(outcome)); }

TEST(WireFormat, CarriesThePlainScansOutcomeUnchanged) {
    test::ScopedTmpdir const tmpdir;
    test::ScopedEnv const no_config("ZELM_SIM_CONFIG", std::nullopt);
    auto const plain = scan_outcome({ZELM_SIM_PLUGIN, "/nonexistent/x_manager.so"});
    ASSERT_FALSE(plain.report.devices.empty());
    ASSERT_EQ(plain.report.failures.size(), 1U);

    EXPECT_EQ(fields(round_trip(plain)), fields(plain));
}

TEST(WireFormat, CarriesEveryKindOfDeviceHolderAndFailure) {
    using Step = PluginFailure::Step;
    ScanOutcome const outcome{
        {{
             {DeviceFound{"/p/a_manager.so", R"({"s":1})", "S\n1", "api/1", R"({"i":"\u001b"})", ""}, "/dev/a"},
             {DeviceOccupied{"p/b_manager.so", R"(["x"])"}, "/dev/b",
              DeviceHolder{4242, "zelm", "ann", std::nullopt, "2026-01-01T00:00:00Z", false}, "B-1"},
             {DeviceOccupied{"b_manager.so", "7"}, "/dev/b",
              DeviceHolder{17, std::nullopt, std::nullopt, "host-b", std::nullopt, true}},
             {DeviceOccupied{"b_manager.so", "8"}, "/dev/b", std::nullopt, std::nullopt, "Lock directory refused"},
             {DeviceQueryFailed{"c_manager.so", "null", "sensor unplugged\tagain"}, ""},
         },
         {{"d_manager.so", Step::load, "no bus"}, {"e_manager.so", Step::list, "bus gone"},
          {"f_manager.so", Step::get_path, "no path"}}},
        {"g_manager.so"}};
    EXPECT_EQ(fields(round_trip(outcome)), fields(outcome));
    EXPECT_EQ(fields(round_trip({})), fields(ScanOutcome{}));

    // Bytes that are not UTF-8 arrive as replacement characters, never as a
    // lost plug-in.
    ScanOutcome const invalid{{{{DeviceQueryFailed{"c_manager.so", "1", "bad \xff"}, ""}}, {}}, {}};
    auto const back = round_trip(invalid);
    ASSERT_EQ(back.report.devices.size(), 1U);
    EXPECT_EQ(std::get<DeviceQueryFailed>(back.report.devices[0].result).error, "bad \xef\xbf\xbd");
}

TEST(WireFormat, RefusesWhatItDidNotWrite) {
    auto const whole = outcome_to_wire({{{{DeviceOccupied{"b_manager.so", "8"}, ""}}, {}}, {}});
    for (auto const& text :
         {whole.substr(0, whole.size() - 1),
          std::string(R"({"devices":[{"state":"lost"}],"failures":[],"stopped":[]})"),
          std::string(R"({"devices":[{"state":"found"}],"failures":[],"stopped":[]})"),
          std::string(R"({"devices":[],"failures":[{"plugin_path":"x","step":7,"reason":""}],"stopped":[]})"),
          std::string("[1]")}) {
        SCOPED_TRACE(text);
        EXPECT_THROW((void)outcome_from_wire(text), nlohmann::json::exception);
    }
}

}  // namespace
}  // namespace zelm::tool
