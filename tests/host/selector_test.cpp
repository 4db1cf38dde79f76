// Selectors as people type them, and which candidates each names: pure rules,
// tested as tables.
#include <zelm/select.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace zelm {
namespace {

using Kind = DeviceSelector::Kind;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::IsEmpty;

struct ParseCase {
    char const* text;
    Kind kind;
    std::vector<std::pair<std::string, std::string>> members;
};

void PrintTo(ParseCase const& test_case, std::ostream* out) { *out << test_case.text; }

class SelectorParse : public testing::TestWithParam<ParseCase> {};

TEST_P(SelectorParse, TellsTheKindAndTheMembers) {
    auto const selector = DeviceSelector::parse(GetParam().text);
    EXPECT_EQ(selector.kind(), GetParam().kind);
    EXPECT_EQ(selector.text(), GetParam().text);
    EXPECT_EQ(selector.members(), GetParam().members);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SelectorParse,
    testing::Values(ParseCase{"SIM-0002", Kind::serial_number, {}},
                    ParseCase{"  {\"serial\": 7}", Kind::description, {}},
                    ParseCase{"[1,2]", Kind::description, {}},
                    ParseCase{"\"text\"", Kind::description, {}},
                    ParseCase{"model=sim", Kind::filter, {{"model", "sim"}}},
                    ParseCase{"name=a,b,serial=1", Kind::filter, {{"name", "a,b"}, {"serial", "1"}}},
                    ParseCase{"key=a=b", Kind::filter, {{"key", "a=b"}}},
                    ParseCase{"key=", Kind::filter, {{"key", ""}}}));

class SelectorSyntax : public testing::TestWithParam<std::pair<char const*, char const*>> {};

TEST_P(SelectorSyntax, IsRefusedSayingWhy) {
    try {
        DeviceSelector::parse(GetParam().first);
        FAIL() << "parsed " << GetParam().first;
    } catch (SelectorSyntaxError const& error) {
        EXPECT_THAT(error.what(), testing::HasSubstr(GetParam().second));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SelectorSyntax,
    testing::Values(std::pair{"", "an empty device selector"},
                    std::pair{"{\"serial\":", "not a JSON device description"},
                    std::pair{"{\"serial\": 1e400}", "the number 1e400 is beyond the range of a double"},
                    std::pair{"[18446744073709551616]", "does not fit in 64 bits"},
                    std::pair{"=x", "names no member"},
                    std::pair{",a=1", "names no member"}));

TEST(SelectorSyntax, DescriptionNestedPastTheBoundIsRefused) {
    std::string const deep = std::string(detail::max_json_depth + 1, '[') + std::string(detail::max_json_depth + 1, ']');
    EXPECT_THROW(DeviceSelector::parse(deep), SelectorSyntaxError);
    std::string const deepest = std::string(detail::max_json_depth, '[') + std::string(detail::max_json_depth, ']');
    EXPECT_EQ(DeviceSelector::parse(deepest).kind(), Kind::description);
}

std::vector<DeviceCandidate> const candidates{
    {"/p/a_manager.so", R"({"model":"x","serial":"A1"})", "A1"},
    {"/p/a_manager.so", R"({"model":"x","serial":7})", "SEVEN"},
    {"/p/b_manager.so", R"({"model":"y","on":true,"serial":"B1"})", std::nullopt, "query failed"},
    {"/p/b_manager.so", "7"},
};

struct MatchCase {
    char const* selector;
    std::vector<std::size_t> matches;
};

void PrintTo(MatchCase const& test_case, std::ostream* out) { *out << test_case.selector; }

class SelectorMatch : public testing::TestWithParam<MatchCase> {};

TEST_P(SelectorMatch, NamesTheseCandidates) {
    EXPECT_THAT(matching_devices(DeviceSelector::parse(GetParam().selector), candidates),
                ElementsAreArray(GetParam().matches));
}

INSTANTIATE_TEST_SUITE_P(
    Selectors, SelectorMatch,
    testing::Values(MatchCase{"A1", {0}}, MatchCase{"SEVEN", {1}}, MatchCase{"B1", {}},
                    MatchCase{"model=x", {0, 1}}, MatchCase{"model=x,serial=7", {1}},
                    MatchCase{"serial=7.0", {1}}, MatchCase{"serial=1e400", {}}, MatchCase{"on=true", {2}},
                    MatchCase{"on=1", {}}, MatchCase{"missing=x", {}},
                    MatchCase{R"({"serial":"A1","model":"x"})", {0}}, MatchCase{"7", {}},
                    MatchCase{"7.0", {}}, MatchCase{"[7]", {}}, MatchCase{R"({"model":"x","serial":7.0})", {1}}));

TEST(SelectorMatch, SameTextComesBeforeEqualValue) {
    std::vector<DeviceCandidate> const numbers{{"/p/a_manager.so", "7"}, {"/p/a_manager.so", "7.0"}};
    EXPECT_THAT(matching_devices(DeviceSelector::of_description(7.0), numbers), ElementsAre(1));
    EXPECT_THAT(matching_devices(DeviceSelector::of_description(7), numbers), ElementsAre(0));
    EXPECT_THAT(matching_devices(DeviceSelector::of_description(nlohmann::json::parse("7.00")), numbers),
                ElementsAre(1));
}

TEST(ChooseDevice, GivesTheOneMatch) {
    EXPECT_EQ(&choose_device(DeviceSelector::parse("A1"), candidates, "a_manager.so"), &candidates[0]);
}

TEST(ChooseDevice, SeveralMatchesAreAmbiguousAndListed) {
    try {
        choose_device(DeviceSelector::parse("model=x"), candidates, "a_manager.so");
        FAIL();
    } catch (AmbiguousSelectorError const& error) {
        EXPECT_STREQ(error.what(), "the filter model=x matches 2 devices listed by a_manager.so; name one of these:");
        ASSERT_EQ(error.candidates().size(), 2U);
        EXPECT_EQ(error.candidates()[1].description, candidates[1].description);
    }
}

struct UnmatchedCase {
    char const* name;
    std::vector<DeviceCandidate> candidates;
    std::vector<std::string> unsearched;
    bool incomplete;
    char const* message;
};

void PrintTo(UnmatchedCase const& test_case, std::ostream* out) { *out << test_case.name; }

class ChooseNothing : public testing::TestWithParam<UnmatchedCase> {};

TEST_P(ChooseNothing, SaysWhatWasSearchedAndWhatWasLeftOut) {
    try {
        choose_device(DeviceSelector::parse("Z9"), GetParam().candidates, "s_manager.so", GetParam().unsearched);
        FAIL();
    } catch (NoMatchingDeviceError const& error) {
        EXPECT_EQ(error.incomplete(), GetParam().incomplete);
        EXPECT_STREQ(error.what(), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Searches, ChooseNothing,
    testing::Values(
        UnmatchedCase{"AllAnswered", {{"/p/s_manager.so", "1", "A"}}, {}, false,
                      "no device listed by s_manager.so matches the serial number Z9"},
        UnmatchedCase{"SerialUnknown",
                      {{"/p/s_manager.so", "1"}},
                      {},
                      false,
                      "no device listed by s_manager.so matches the serial number Z9 (an occupied device that was "
                      "never queried on this machine shows no serial number: name it by key=value)"},
        UnmatchedCase{"QueryFailed",
                      {{"/p/s_manager.so", "1", std::nullopt, "timed out"}, {"/p/s_manager.so", "2", std::nullopt, "x"}},
                      {},
                      true,
                      "no device listed by s_manager.so matches the serial number Z9; 2 devices could not be queried, "
                      "the first: device 1 (s_manager.so): timed out"},
        UnmatchedCase{"PluginLeftOut", {}, {"cannot load b_manager.so"}, true,
                      "no device listed by s_manager.so matches the serial number Z9; 1 plug-in could not be "
                      "searched: cannot load b_manager.so"}));

TEST(ChooseNothing, FilterSaysWhichNumberNoValueHolds) {
    try {
        std::vector<DeviceCandidate> const answered{candidates[0], candidates[1]};
        choose_device(DeviceSelector::parse("serial=1e400"), answered, "a_manager.so");
        FAIL();
    } catch (NoMatchingDeviceError const& error) {
        EXPECT_THAT(error.what(), testing::EndsWith("; serial: the number 1e400 is beyond the range of a double"));
        EXPECT_FALSE(error.incomplete());
    }
}

}  // namespace
}  // namespace zelm
