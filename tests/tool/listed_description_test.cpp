// Which device a typed description names: the device commands take the
// plug-in's listed description with the same compact text, else the one that
// equals it as a JSON value, and only that description reaches the plug-in;
// a description that names no listed device, or several (listed one per
// line after the error), is bad usage.
#include "tool_test_support.hpp"

#include <gtest/gtest.h>

#include <ostream>

namespace zelm::tool_test {
namespace {

using nlohmann::json;

struct Typed {
    char const* name;
    std::string description;
    std::string opened;  // the listed description that reaches open_device; empty: none
    int status;
    std::string error;  // what the error line names; empty: none
    std::vector<std::string> candidates = {};  // the descriptions listed after the error line
};

void PrintTo(Typed const& typed, std::ostream* out) { *out << typed.name; }

class ListedDescription : public ToolTest, public ::testing::WithParamInterface<Typed> {
protected:
    void SetUp() override {
        plugin_ = test::install_test_plugin(scratch(), "test_manager.so",
                                            {{"events", events_.native()},
                                             {"devices",
                                              {{{"serial", "SIM-0001"}, {"model", "counter"}},
                                               {{"serial", 7}},
                                               {{"a", 7}, {"b", 7.0}},
                                               {{"a", 7.0}, {"b", 7}},
                                               {{"serial", "broken"}, {"open_throws", "USB stall"}}}}});
    }

    std::filesystem::path const events_ = scratch() / "events.log";
    std::filesystem::path plugin_;
};

TEST_P(ListedDescription, OpensTheListedDescriptionOrIsAUsageError) {
    auto const& typed = GetParam();
    auto const outcome = run_zelm({"info", plugin_.native(), typed.description});

    std::vector<std::string> opens;
    for (auto const& event : test::read_events_without_pid(events_)) {
        if (event.starts_with("open ")) {
            opens.push_back(event.substr(5));
        }
    }
    EXPECT_EQ(opens, typed.opened.empty() ? std::vector<std::string>{} : std::vector<std::string>{typed.opened});
    EXPECT_EQ(outcome.status, typed.status) << outcome.err;
    if (typed.status == 0) {
        EXPECT_EQ(outcome.err, "");
        return;
    }
    EXPECT_EQ(outcome.out, "");
    auto const lines = lines_of(outcome.err);
    ASSERT_EQ(lines.size(), 1 + typed.candidates.size()) << outcome.err;
    EXPECT_TRUE(lines[0].starts_with("zelm info: ")) << outcome.err;
    EXPECT_NE(lines[0].find(typed.error), std::string::npos) << outcome.err;
    for (std::size_t i = 0; i < typed.candidates.size(); ++i) {
        EXPECT_EQ(lines[i + 1], "  " + plugin_.native() + "  " + typed.candidates[i]);
    }
}

// What a usage error names: the typed description, compact, and why.
std::string no_match(std::string const& compact) {
    return "no device listed by test_manager.so matches the description " + compact;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ListedDescription,
    ::testing::Values(
        Typed{"Exact", R"({"model":"counter","serial":"SIM-0001"})", R"({"model":"counter","serial":"SIM-0001"})", 0,
              ""},
        Typed{"ReorderedAndSpaced", R"( { "serial" : "SIM-0001", "model" : "counter" } )",
              R"({"model":"counter","serial":"SIM-0001"})", 0, ""},
        Typed{"FloatingForInteger", R"({"serial":7.0})", R"({"serial":7})", 0, ""},
        // Listed itself: the compact text wins over value equality.
        Typed{"ExactAmongEqualValues", R"({"b":7.0,"a":7})", R"({"a":7,"b":7.0})", 0, ""},
        Typed{"Unlisted", R"({ "serial" : "SIM-0009" })", "", 2, no_match(R"({"serial":"SIM-0009"})")},
        Typed{"Subset", R"({"serial":"SIM-0001"})", "", 2, no_match(R"({"serial":"SIM-0001"})")},
        Typed{"Ambiguous", R"({"a":7,"b":7})", "", 2,
              R"(the description {"a":7,"b":7} matches 2 devices listed by test_manager.so; name one of these:)",
              {R"({"a":7,"b":7.0})", R"({"a":7.0,"b":7})"}},
        // A listed device that fails to open is a failed operation.
        Typed{"FailsToOpen", R"({"open_throws":"USB stall","serial":"broken"})",
              R"({"open_throws":"USB stall","serial":"broken"})", 1,
              R"(query of device {"open_throws":"USB stall","serial":"broken"} (test_manager.so) failed: USB stall)"}),
    [](auto const& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace zelm::tool_test
