// Records rendered from their own text: whatever a cache file holds, the
// scan must report exactly what serialising the parsed record gives. Taking
// the members' bytes from a text that only looks compact would report another
// writer's spacing, key order, escapes or number notation instead.
#include "json/bounded_json.hpp"
#include "scan/compact_record.hpp"
#include "scan/scan_results.hpp"

#include <gtest/gtest.h>

#include <limits>

#include <string>

namespace {

using nlohmann::json;
using zelm::detail::compact_record_members;
using zelm::detail::parse_bounded;
using zelm::detail::render_record;

struct RecordText {
    char const* name;
    std::string text;
    bool compact;  // recognised as the record's compact serialisation
};

void PrintTo(RecordText const& record, std::ostream* out) { *out << record.name; }

RecordText const records[] = {
    {"AsThisLibraryWritesIt",
     R"({"info":{"Model":"Scope","Serial Number":"S-1","Slot":"3"},"status":{"API":"zelm-sim/1","Triggers":0}})", true},
    {"ErrorAndStatus", R"({"error":"front panel locked","status":{"API":"x"}})", true},
    {"Empty", "{}", true},
    {"NestedContainersAndLiterals", R"({"info":{"a":[1,[true,false,null],{"b":-5}],"c":{}},"status":[]})", true},
    {"BracketsAndQuotesOfOtherMembersInStrings", R"({"info":{"k":"}],{\"info\":1"},"status":"x"})", false},
    {"BracketsInStrings", R"({"info":{"k":"}],{:info"},"status":"[{"})", true},
    {"RawUtf8", "{\"info\":{\"Name\":\"Gr\xc3\xb6\xc3\x9f" "e\"}}", true},
    {"InfoAsANestedKeyOnly", R"({"status":{"info":{"x":1}}})", true},
    {"LongestExactInteger", R"({"info":{"n":123456789012345678}})", true},
    {"SpaceAfterColon", R"({"info": {"Serial Number":"S-1"}})", false},
    {"TrailingNewline", "{\"info\":{\"Serial Number\":\"S-1\"}}\n", false},
    {"LeadingSpace", " {\"info\":1}", false},
    {"KeysOutOfOrder", R"({"status":{"API":"x"},"info":{"Serial Number":"S-1"}})", false},
    {"NestedKeysOutOfOrder", R"({"info":{"b":1,"a":2}})", false},
    {"RepeatedKey", R"({"info":{"a":1,"a":2}})", false},
    {"EscapedCharacterThatNeedsNoEscape", R"({"info":{"Serial Number":"\u0053-1"}})", false},
    {"EscapedSlash", R"({"info":{"p":"a\/b"}})", false},
    {"EscapedQuote", R"({"info":{"q":"say \"hi\""}})", false},
    {"NegativeZero", R"({"info":{"n":-0}})", false},
    {"FloatingValue", R"({"info":{"n":1.0}})", false},
    {"Exponent", R"({"info":{"n":1e3}})", false},
    {"IntegerTooLongToBeExact", R"({"info":{"n":123456789012345678901}})", false},
    {"NegativeInteger", R"({"info":{"n":-42}})", true},
};

class CompactRecord : public testing::TestWithParam<RecordText> {};

TEST_P(CompactRecord, RenderedFromTheTextAsFromTheParsedRecord) {
    auto const& text = GetParam().text;
    auto const record = parse_bounded(text);
    ASSERT_TRUE(record && record->is_object()) << text;

    auto const members = compact_record_members(text);
    EXPECT_EQ(members.has_value(), GetParam().compact) << text;
    if (members) {
        EXPECT_EQ(record->dump(), text) << "taken for compact, but it is not";
    }

    auto const from_text = render_record(*record, text);
    auto const from_value = render_record(*record);
    EXPECT_EQ(from_text.info, from_value.info);
    EXPECT_EQ(from_text.status, from_value.status);
    EXPECT_EQ(from_text.has_info, from_value.has_info);
    EXPECT_EQ(from_text.serial_number, from_value.serial_number);
    EXPECT_EQ(from_text.api, from_value.api);
    EXPECT_EQ(from_text.error, from_value.error);
    if (record->contains("info")) {
        EXPECT_EQ(from_text.info, record->at("info").dump());
    }
    if (record->contains("status")) {
        EXPECT_EQ(from_text.status, record->at("status").dump());
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, CompactRecord, testing::ValuesIn(records),
                         [](auto const& test_case) { return std::string(test_case.param.name); });

// The nesting bound: containers count as they open and stop counting as they
// close; brackets inside strings never count.
struct BoundedCase {
    char const* name;
    std::string text;
    int max_depth;
    bool parses;
    std::size_t max_values = std::numeric_limits<std::size_t>::max();
};

void PrintTo(BoundedCase const& bounded, std::ostream* out) { *out << bounded.name; }

std::string nested_arrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// `count` arrays of depth two side by side in one array: depth three.
std::string sibling_arrays(int count) {
    std::string text = "[";
    for (int i = 0; i < count; ++i) {
        text += i == 0 ? "[[]]" : ",[[]]";
    }
    return text + "]";
}

BoundedCase const bounded_cases[] = {
    {"ScalarNestsNoLevel", "7", 0, true},
    {"EmptyArrayNestsOneLevel", "[]", 0, false},
    {"ArraysAtTheBound", nested_arrays(128), 128, true},
    {"ArraysOneBeyondTheBound", nested_arrays(129), 128, false},
    {"ObjectsOneBeyondTheBound", R"({"a":{"b":{"c":{}}}})", 3, false},
    {"ObjectsAtTheBound", R"({"a":{"b":{"c":1}}})", 3, true},
    {"ClosedSiblingsDoNotAddUp", sibling_arrays(500), 3, true},
    {"ManySiblingsAtTheBound", "[[1],[2],[3],[{}],[[]]]", 3, true},
    {"BracketsInsideAStringDoNotCount", R"({"info":{"Model":")" + std::string(300, '[') + R"(\"\\"}})", 3, true},
    {"EscapedQuotesDoNotEndAString", R"(["\\", "[[[[", "\"[[[["])", 1, true},
    {"DeepAfterAnEscapedQuote", R"({"a":"\"","b":[[[]]]})", 3, false},
    {"NotJson", "{", 128, false},
    {"TrailingText", "{} {}", 128, false},
    {"EmptyText", "", 128, false},
    {"NumberBeyondADouble", "[1e400]", 128, false},
    {"ValuesAtTheBound", R"({"a":[1,2]})", 128, true, 4},
    {"ContainersCountAsValues", "[[],[],[]]", 128, false, 3},
    {"MembersCountOnce", R"({"a":1,"b":2})", 128, true, 3},
};

class BoundedParse : public testing::TestWithParam<BoundedCase> {};

TEST_P(BoundedParse, RefusesWhatIsNotJsonWithinTheBound) {
    auto const& bounded = GetParam();
    auto const value = parse_bounded(bounded.text, {.max_depth = bounded.max_depth, .max_values = bounded.max_values});
    ASSERT_EQ(value.has_value(), bounded.parses);
    if (value) {
        EXPECT_EQ(*value, json::parse(bounded.text));
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, BoundedParse, testing::ValuesIn(bounded_cases),
                         [](auto const& test_case) { return std::string(test_case.param.name); });

}  // namespace
