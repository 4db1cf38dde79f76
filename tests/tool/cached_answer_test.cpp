// `zelm info` and `zelm status` from the query cache, called directly: what
// is printed, noted or failed for each thing a scan can know of a device.
#include "cached_answer.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace zelm::tool {
namespace {

using namespace std::chrono_literals;

std::string const name = R"(device {"serial":"S-1"} (sim_manager.so))";
DeviceFound const found{"p.so", R"({"serial":"S-1"})", "S-1", "a/1", R"({"Model":"m"})", R"({"API":"a/1"})"};
DeviceFound const found_without_status{"p.so", R"({"serial":"S-1"})", "S-1", "", R"({"Model":"m"})", ""};
DeviceQueryFailed const failed{"p.so", R"({"serial":"S-1"})", "no sensor"};
DeviceOccupied const occupied{"p.so", R"({"serial":"S-1"})"};
DeviceHolder const holder{4242, "zelm", "ann", std::nullopt, std::nullopt, false};

TEST(CachedAnswer, PrintsWhatAScanKnowsAndNamesTheHolderOfAnOccupiedDevice) {
    struct Case {
        char const* what;
        AnswerPart part;
        ScanResult now;
        std::optional<CachedAnswer> last;
        std::optional<DeviceHolder> holder;
        std::string output;
        std::string note;
    };
    std::vector<Case> const cases{
        {"free, info", AnswerPart::info, found, std::nullopt, std::nullopt, "{\n  \"Model\": \"m\"\n}\n", ""},
        {"free, status", AnswerPart::status, found, std::nullopt, std::nullopt, "{\n  \"API\": \"a/1\"\n}\n", ""},
        {"occupied, last info", AnswerPart::info, occupied, CachedAnswer{found, 75s}, holder,
         "{\n  \"Model\": \"m\"\n}\n", name + " is occupied by process 4242 (zelm); its last answer, 75 s old, follows"},
        {"occupied, last status, holder without command", AnswerPart::status, occupied, CachedAnswer{found, 3h},
         DeviceHolder{7, std::nullopt, std::nullopt, std::nullopt, std::nullopt, false}, "{\n  \"API\": \"a/1\"\n}\n",
         name + " is occupied by process 7; its last answer, 3 h old, follows"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        auto const report = cached_report(c.part, name, c.now, c.last, c.holder);
        EXPECT_EQ(report.output, c.output);
        EXPECT_EQ(report.note, c.note);
    }
}

TEST(CachedAnswer, FailsNamingTheDeviceWhenThereIsNothingToPrint) {
    struct Case {
        char const* what;
        AnswerPart part;
        ScanResult now;
        std::optional<CachedAnswer> last;
        std::optional<DeviceHolder> holder;
        std::string error;
    };
    std::vector<Case> const cases{
        {"free, failed", AnswerPart::info, failed, std::nullopt, std::nullopt,
         "query of " + name + " failed: no sensor"},
        {"free, no status", AnswerPart::status, found_without_status, std::nullopt, std::nullopt,
         name + " reported no status"},
        {"occupied, last failed", AnswerPart::info, occupied, CachedAnswer{failed, 5min}, holder,
         "query of " + name + " failed when it was last free, 5 min ago: no sensor"},
        {"occupied, never queried", AnswerPart::info, occupied, std::nullopt, holder,
         name + " is occupied by process 4242 (zelm); no answer is cached, as it was never queried while free"},
        {"occupied by nobody known, never queried", AnswerPart::status, occupied, std::nullopt, std::nullopt,
         name + " is occupied by an unknown process, or its lock files cannot be used (--live says which); no "
                "answer is cached, as it was never queried while free"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            cached_report(c.part, name, c.now, c.last, c.holder);
            ADD_FAILURE() << "no error";
        } catch (std::runtime_error const& error) {
            EXPECT_EQ(error.what(), c.error);
        }
    }
}

TEST(CachedAnswer, AgeIsShownInTheLargestUnitThatKeepsItReadable) {
    struct Case {
        std::chrono::nanoseconds age;
        std::string shown;
    };
    std::vector<Case> const cases{
        {0ns, "0 s"},
        {1999ms, "1 s"},
        {119s, "119 s"},
        {120s, "2 min"},
        {119min, "119 min"},
        {2h, "2 h"},
        {47h, "47 h"},
        {48h, "2 days"},
        {std::chrono::nanoseconds::max(), "106751 days"},
    };
    for (auto const& c : cases) {
        EXPECT_EQ(age_text(c.age), c.shown) << c.age.count();
    }
}

}  // namespace
}  // namespace zelm::tool
