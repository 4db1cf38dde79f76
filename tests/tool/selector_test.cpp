// Selectors, called directly: what each text is taken for, which devices
// it names, the messages of a selector that names none or several, and the
// last scan's table that "@N" reads.
#include "last_scan.hpp"
#include "selector.hpp"

#include <test_support.hpp>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

namespace zelm::tool {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

Selector parsed(std::string const& text) {
    auto selector = parse_selector(text);
    if (!selector) {
        ADD_FAILURE() << text << ": " << selector.error();
        return {};
    }
    return *selector;
}

// What a selector is taken for, as "kind: content".
std::string kind_of(Selector const& selector) {
    struct Show {
        std::string operator()(DescriptionSelector const& s) const { return "description: " + s.description.dump(); }
        std::string operator()(SerialSelector const& s) const { return "serial: " + s.serial; }
        std::string operator()(RowSelector const& s) const { return "row: " + std::to_string(s.row); }
        std::string operator()(FilterSelector const& s) const {
            std::string text = "filter:";
            for (auto const& [key, value] : s.members) {
                text += " [" + key + "]=[" + value + "]";
            }
            return text;
        }
    };
    return std::visit(Show{}, selector.kind);
}

TEST(Selectors, TextIsTakenForADescriptionARowAFilterOrASerialNumber) {
    struct Case {
        std::string text;
        std::string taken_for;
    };
    std::vector<Case> const cases{
        {R"({"serial":"SIM-0001"})", R"(description: {"serial":"SIM-0001"})"},
        {R"(  { "b" : 1, "a" : [2] })", R"(description: {"a":[2],"b":1})"},
        {R"("just a string")", R"(description: "just a string")"},
        {"[1,2]", "description: [1,2]"},
        // Numbers a value holds as written, -0 being JSON's 0.
        {R"({"s":-0})", R"(description: {"s":0})"},
        {R"({"s":-0.0})", R"(description: {"s":-0.0})"},
        {R"({"s":0e999})", R"(description: {"s":0.0})"},
        {R"({"s":18446744073709551615})", R"(description: {"s":18446744073709551615})"},
        {R"({"s":-9223372036854775808})", R"(description: {"s":-9223372036854775808})"},
        {R"({"s":1e-320})", R"(description: {"s":1e-320})"},  // subnormal, not 0
        {R"({"s":1.7976931348623157e308})", R"(description: {"s":1.7976931348623157e+308})"},
        {"@2", "row: 2"},
        {"@0010", "row: 10"},
        {"model=sim-counter", "filter: [model]=[sim-counter]"},
        {"model=m,serial=7", "filter: [model]=[m] [serial]=[7]"},
        {"name=a,b,serial=1", "filter: [name]=[a,b] [serial]=[1]"},  // a ',' not starting "key=" is the value's
        {"expr=a=b", "filter: [expr]=[a=b]"},                          // split at the first '='
        {"name=", "filter: [name]=[]"},
        {"name=a,,b=", "filter: [name]=[a,] [b]=[]"},
        {"SIM-0001", "serial: SIM-0001"},
        {"1234", "serial: 1234"},  // a bare number is a serial number, as scans show many
        {"sim_manager.so", "serial: sim_manager.so"},
        {"a@b", "serial: a@b"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.text);
        auto const selector = parsed(c.text);
        EXPECT_EQ(kind_of(selector), c.taken_for);
        EXPECT_EQ(selector.text, c.text);
    }
}

TEST(Selectors, MalformedTextIsRefusedWithTheReason) {
    struct Case {
        std::string text;
        std::string reason;
    };
    std::vector<Case> const cases{
        {"", "an empty device selector"},
        {"@", "\"@\" takes a row number"},
        {"@x", "\"@\" takes a row number"},
        {"@-1", "\"@\" takes a row number"},
        {"@1x", "\"@\" takes a row number"},
        {"@99999999999999999999999", "\"@\" takes a row number"},
        {"@0", "numbered from 1"},
        {"=x", "\"=x\" in the filter \"=x\" names no member"},
        {"a=1,=2", "\"=2\" in the filter"},
        {"{\"serial\":", "not a JSON device description"},
        {std::string(200, '[') + std::string(200, ']'), "nested deeper than"},
        // A number that would be read as another one: it would name the
        // device of that other number.
        {R"({"serial":1e400})", "device description: the number 1e400 is beyond the range of a double"},
        {R"([1,{"a":-1e400}])", "device description: the number -1e400 is beyond the range of a double"},
        {R"({"serial":1e-400})", "device description: the number 1e-400 is too small to tell from 0"},
        {R"({"serial":-0.00001e-400})", "the number -0.00001e-400 is too small to tell from 0"},
        {R"({"serial":18446744073709551616})", "the integer 18446744073709551616 does not fit in 64 bits"},
        {R"({"serial":-9223372036854775809})", "the integer -9223372036854775809 does not fit in 64 bits"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.text);
        auto const selector = parse_selector(c.text);
        ASSERT_FALSE(selector.has_value());
        EXPECT_NE(selector.error().find(c.reason), std::string::npos) << selector.error();
    }
}

TEST(Selectors, APluginIsAWordWithASlashOrAPluginFileName) {
    struct Case {
        std::string word;
        bool plugin;
    };
    std::vector<Case> const cases{
        {"sim_manager.so", true},   {"./sim", true},      {"/opt/x/y.so", true},   {"x_manager.dylib", true},
        {"SIM-0001", false},        {"sim.so", false},     {"@2", false},           {"model=a/b", false},
        {R"({"path":"/dev/x"})", false}, {"{bad/json", false}, {"x_manager.so.1", false}, {"", false},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_EQ(names_plugin(c.word), c.plugin);
    }
}

class Matching : public ::testing::Test {
protected:
    // Which candidates (by index) `text` names.
    std::vector<std::size_t> named_by(std::string const& text) const {
        std::vector<std::size_t> indexes;
        for (auto const* candidate : matching(parsed(text), candidates_)) {
            indexes.push_back(static_cast<std::size_t>(candidate - candidates_.data()));
        }
        return indexes;
    }

    std::vector<Candidate> const candidates_{
        {"/p/a_manager.so", json{{"model", "counter"}, {"serial", "SIM-0001"}}, "SIM-0001"},  // 0
        {"/p/a_manager.so", json{{"model", "counter"}, {"serial", "SIM-0002"}}, std::nullopt},  // 1: occupied
        {"/p/a_manager.so", json{{"serial", 7}}, "7"},                                        // 2
        {"/p/b_manager.so", json{{"a", 7}, {"b", 7.0}}, ""},                                   // 3
        {"/p/b_manager.so", json{{"a", 7.0}, {"b", 7}}, ""},                                   // 4
        {"/p/b_manager.so", json{{"name", "x,y"}, {"on", true}, {"none", nullptr}}, "N"},     // 5
        {"/p/b_manager.so", json("plain"), "P"},                                               // 6
        {"/p/b_manager.so", json{{"serial", "7"}}, "S7"},                                      // 7
        {"/p/b_manager.so", json{{"serial", 18446744073709551616.0}}, "B"},                    // 8
        {"/p/b_manager.so", json{{"serial", 0}}, "0"},                                         // 9
    };
};

TEST_F(Matching, EachSelectorNamesTheDevicesItDescribes) {
    struct Case {
        std::string text;
        std::vector<std::size_t> named;
    };
    std::vector<Case> const cases{
        // Descriptions: the same compact text first, else equal values.
        {R"({"serial":"SIM-0001","model":"counter"})", {0}},
        {R"({"serial":7.0})", {2}},
        {R"({"b":7.0,"a":7})", {3}},
        {R"({"a":7,"b":7})", {3, 4}},
        {R"("plain")", {6}},
        {R"({"serial":"SIM-0001"})", {}},  // a part of a description is no description
        // Serial numbers as the scan showed them; an occupied device shows none.
        {"SIM-0001", {0}},
        {"SIM-0002", {}},
        {"7", {2}},
        {"sim-0001", {}},
        // Filters: a string member by its text, any other by its JSON value.
        {"model=counter", {0, 1}},
        {"model=counter,serial=SIM-0002", {1}},
        {"serial=SIM-0002,model=counter", {1}},
        {"serial=7", {2, 7}},
        {"serial=7.0", {2}},
        {"serial=\"7\"", {}},
        {"a=7,b=7", {3, 4}},
        {"name=x,y", {5}},
        {"name=x,y,on=true", {5}},
        {"name=x", {}},
        {"on=true", {5}},
        {"on=1", {}},
        {"none=null", {5}},
        {"colour=red", {}},  // no device has the member
        {"model=", {}},
        // A number matches the number it is: one that a value cannot hold
        // as written matches none.
        {"serial=1.8446744073709552e19", {8}},
        {"serial=18446744073709551617", {}},
        {"serial=0", {9}},
        {"serial=-0", {9}},
        {"serial=-0.0", {9}},
        {"serial=1e-400", {}},
        {"serial=1e400", {}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(named_by(c.text), c.named);
    }
}

TEST_F(Matching, NoDeviceOrSeveralIsAUsageErrorSayingWhatWasSearched) {
    EXPECT_EQ(chosen_candidate(parsed("serial=SIM-0002"), candidates_, "the plug-ins in /p").description,
              candidates_[1].description);

    try {
        chosen_candidate(parsed("colour=red"), candidates_, "the plug-ins in /p");
        ADD_FAILURE() << "no error";
    } catch (UsageError const& e) {
        EXPECT_STREQ(e.what(), "no device listed by the plug-ins in /p matches the filter colour=red");
    }
    try {
        chosen_candidate(parsed("SIM-0002"), candidates_, "a_manager.so");
        ADD_FAILURE() << "no error";
    } catch (UsageError const& e) {
        EXPECT_NE(std::string(e.what()).find("no device listed by a_manager.so matches the serial number SIM-0002 "
                                             "(a scan shows no serial number for an occupied device"),
                  std::string::npos)
            << e.what();
    }
    try {
        chosen_candidate(parsed("serial=1e400"), candidates_, "a_manager.so");
        ADD_FAILURE() << "no error";
    } catch (UsageError const& e) {
        EXPECT_STREQ(e.what(), "no device listed by a_manager.so matches the filter serial=1e400; serial: the number "
                               "1e400 is beyond the range of a double");
    }
    try {
        chosen_candidate(parsed("model=counter"), candidates_, "a_manager.so");
        ADD_FAILURE() << "no error";
    } catch (AmbiguousSelector const& e) {
        EXPECT_STREQ(e.what(), "the filter model=counter matches 2 devices listed by a_manager.so; name one of these:");
        EXPECT_EQ(e.candidates(), (std::vector<std::string>{
                                      R"(/p/a_manager.so  {"model":"counter","serial":"SIM-0001"})",
                                      R"(/p/a_manager.so  {"model":"counter","serial":"SIM-0002"})"}));
    }
}

// A search that could not query some devices, or search some plug-ins, may
// have missed the device named: the error says which and why, and it is a
// failed operation (1), not bad usage (2).
TEST(Selectors, NoMatchAmongDevicesThatCouldNotBeQueriedSaysWhy) {
    std::vector<Candidate> const candidates{
        {"/p/a_manager.so", json{{"serial", "A-1"}}, "A-1"},
        {"/p/a_manager.so", json{{"serial", "A-2"}}, std::nullopt, "line busy"},
        {"/p/a_manager.so", json{{"serial", "A-3"}}, std::nullopt, "lock directory refused"},
        {"/p/a_manager.so", json{{"serial", "A-4"}}, std::nullopt},  // occupied
    };
    std::vector<std::string> const unsearched{"cannot load plug-in /p/b_manager.so: no bus"};
    struct Case {
        std::string selector;
        std::vector<Candidate> candidates;
        std::vector<std::string> unsearched;
        std::string error;
    };
    std::vector<Case> const cases{
        {"A-9", {candidates[0], candidates[1]}, {},
         R"(no device listed by here matches the serial number A-9; 1 device could not be queried: )"
         R"(device {"serial":"A-2"} (a_manager.so): line busy)"},
        {"A-9", {candidates[0], candidates[1], candidates[2]}, {},
         R"(no device listed by here matches the serial number A-9; 2 devices could not be queried, the first: )"
         R"(device {"serial":"A-2"} (a_manager.so): line busy)"},
        {"A-9", {candidates[0]}, unsearched,
         "no device listed by here matches the serial number A-9; 1 plug-in could not be searched: "
         "cannot load plug-in /p/b_manager.so: no bus"},
        {"A-9", candidates, unsearched,
         "no device listed by here matches the serial number A-9 (a scan shows no serial number for an occupied "
         "device: name it by key=value or @N); 2 devices could not be queried, the first: "
         R"(device {"serial":"A-2"} (a_manager.so): line busy; 1 plug-in could not be searched: )"
         "cannot load plug-in /p/b_manager.so: no bus"},
        {"serial=B-1", {candidates[0]}, unsearched,
         "no device listed by here matches the filter serial=B-1; 1 plug-in could not be searched: "
         "cannot load plug-in /p/b_manager.so: no bus"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.error);
        try {
            chosen_candidate(parsed(c.selector), c.candidates, "here", c.unsearched);
            ADD_FAILURE() << "no error";
        } catch (UsageError const& e) {
            ADD_FAILURE() << "bad usage: " << e.what();
        } catch (IncompleteSearch const& e) {
            EXPECT_EQ(e.what(), c.error);
        }
    }
    // What was searched in full, and matched, is no concern.
    EXPECT_EQ(chosen_candidate(parsed("A-1"), candidates, "here", unsearched).serial, "A-1");
}

// Messages carry text as it is; the tool escapes each line once, as it
// prints it.
TEST(Selectors, CandidatesAndSelectorsInMessagesAreTheirText) {
    std::vector<Candidate> const candidates{{"/p/\x1b[2J_manager.so", json{{"k", "v"}}, ""},
                                            {"/p/\x1b[2J_manager.so", json{{"k", "v"}, {"x", 1}}, ""}};
    try {
        chosen_candidate(parsed("k=v"), candidates, "here");
        ADD_FAILURE() << "no error";
    } catch (AmbiguousSelector const& e) {
        EXPECT_EQ(e.candidates().front(), "/p/\x1b[2J_manager.so  {\"k\":\"v\"}");
    }
    try {
        chosen_candidate(parsed("k=\x1b]0;title\x07"), candidates, "here");
        ADD_FAILURE() << "no error";
    } catch (UsageError const& e) {
        EXPECT_STREQ(e.what(), "no device listed by here matches the filter k=\x1b]0;title\x07");
    }
}

TEST(Selectors, ARowNamesItsDeviceWhileItsPluginStillListsIt) {
    std::vector<TableEntry> const table{{"/p/a_manager.so", R"({"serial":"A"})"},
                                        {"/p/b_manager.so", R"({"serial":"B"})"}};
    std::vector<Candidate> const listed{{"/p/b_manager.so", json{{"serial", "B"}}, std::nullopt}};
    EXPECT_EQ(&row_candidate(2, table, listed), &listed[0]);

    struct Case {
        std::size_t row;
        std::vector<Candidate> listed;
        std::string error;
    };
    std::vector<Case> const cases{
        {3, listed, "the last scan's table has 2 rows, not row 3"},
        {0, listed, "the last scan's table has 2 rows, not row 0"},
        {1, listed, R"(row 1 of the last scan ({"serial":"A"} of /p/a_manager.so) is no longer listed)"},
        {2, {}, "is no longer listed"},  // the plug-in is gone
        {2, {{"/p/b_manager.so", json{{"serial", "B"}, {"x", 1}}, std::nullopt}}, "is no longer listed"},
        {2, {{"/p/a_manager.so", json{{"serial", "B"}}, std::nullopt}}, "is no longer listed"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.row);
        try {
            row_candidate(c.row, table, c.listed);
            ADD_FAILURE() << "no error";
        } catch (UsageError const& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
}

class LastScan : public ::testing::Test {
protected:
    test::TempDir const scratch_;
    fs::path const directory_ = scratch_.path() / "zelm";
};

TEST_F(LastScan, KeepsTheRowsOfTheLastTableOnly) {
    std::vector<TableEntry> const first{{"/p/a_manager.so", R"({"serial":"A"})"},
                                        {"/p/\xff_manager.so", "{\"k\":\"line\\nbreak\"}"}};
    save_last_scan(directory_, first);
    auto const loaded = load_last_scan(directory_);
    ASSERT_EQ(loaded.size(), 2U);
    EXPECT_EQ(loaded[0].plugin, "/p/a_manager.so");
    EXPECT_EQ(loaded[0].description, R"({"serial":"A"})");
    EXPECT_EQ(loaded[1].plugin, "/p/\xef\xbf\xbd_manager.so");  // not UTF-8: replaced, never a failure
    EXPECT_EQ(loaded[1].description, "{\"k\":\"line\\nbreak\"}");

    save_last_scan(directory_, {});
    EXPECT_TRUE(load_last_scan(directory_).empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(directory_), fs::directory_iterator()), 1)
        << "no temporary file left behind";
    struct stat status {};
    ASSERT_EQ(::stat(directory_.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700U);
}

TEST_F(LastScan, NoTableIsAUsageError) {
    EXPECT_THROW(load_last_scan(directory_), UsageError);
}

TEST_F(LastScan, RefusesADirectoryOrFileThatOthersCouldHavePlanted) {
    auto const check_refused = [&](auto&& action, std::string const& why) {
        SCOPED_TRACE(why);
        try {
            action();
            ADD_FAILURE() << "accepted";
        } catch (UsageError const& e) {
            ADD_FAILURE() << "taken for no table: " << e.what();
        } catch (std::runtime_error const& e) {
            EXPECT_NE(std::string(e.what()).find(directory_.native()), std::string::npos) << e.what();
        }
    };
    auto const elsewhere = scratch_.path() / "elsewhere";
    fs::create_directory(elsewhere);
    fs::create_directory_symlink(elsewhere, directory_);
    check_refused([&] { save_last_scan(directory_, {}); }, "a symbolic link");
    check_refused([&] { load_last_scan(directory_); }, "a symbolic link, read");
    EXPECT_TRUE(fs::is_empty(elsewhere));
    fs::remove(directory_);

    fs::create_directory(directory_);
    fs::permissions(directory_, fs::perms::owner_all | fs::perms::group_write | fs::perms::others_write);
    check_refused([&] { save_last_scan(directory_, {}); }, "writable by others");
    fs::permissions(directory_, fs::perms::owner_all);

    std::ofstream(elsewhere / "table") << R"({"rows":[]})";
    fs::create_symlink(elsewhere / "table", directory_ / "last-scan.json");
    check_refused([&] { load_last_scan(directory_); }, "a symbolic link as the file");
    fs::remove(directory_ / "last-scan.json");

    for (std::string const content : {"not json", R"({"rows":[{"plugin":1}]})", R"({"rows":[[[[]]]]})", "[]"}) {
        std::ofstream(directory_ / "last-scan.json") << content;
        check_refused([&] { load_last_scan(directory_); }, content);
    }
}

}  // namespace
}  // namespace zelm::tool
