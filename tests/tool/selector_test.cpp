// Selectors, called directly: "@N" rows beside the library's selectors, which
// word names a plug-in, and the last scan's table that "@N" reads.
#include "last_scan.hpp"
#include "selector.hpp"
#include "usage_error.hpp"

#include <test_support.hpp>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

namespace zelm::tool {
namespace {

namespace fs = std::filesystem;

// What a selector is taken for, as "kind: content".
std::string kind_of(Selector const& selector) {
    if (auto const* row = std::get_if<RowSelector>(&selector)) {
        return "row: " + std::to_string(row->row);
    }
    auto const& parsed = std::get<DeviceSelector>(selector);
    switch (parsed.kind()) {
    case DeviceSelector::Kind::description:
        return "description: " + parsed.description().dump();
    case DeviceSelector::Kind::serial_number:
        return "serial: " + parsed.text();
    case DeviceSelector::Kind::filter:
        break;
    }
    return "filter: " + parsed.text();
}

TEST(Selectors, AnAtAndANumberIsARowAndAnythingElseTheLibrarysSelector) {
    struct Case {
        std::string text;
        std::string taken_for;
    };
    std::vector<Case> const cases{
        {"@2", "row: 2"},
        {"@0010", "row: 10"},
        {R"({"serial":"SIM-0001"})", R"(description: {"serial":"SIM-0001"})"},
        {"model=a@b", "filter: model=a@b"},
        {"SIM-0001", "serial: SIM-0001"},
        {"a@b", "serial: a@b"},
        {" @2", "serial:  @2"},  // only a selector that starts with "@" is a row
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.text);
        auto const selector = parse_selector(c.text);
        ASSERT_TRUE(selector.has_value()) << selector.error();
        EXPECT_EQ(kind_of(*selector), c.taken_for);
    }
}

TEST(Selectors, MalformedTextIsRefusedWithTheReason) {
    struct Case {
        std::string text;
        std::string reason;
    };
    std::vector<Case> const cases{
        {"@", "\"@\" takes a row number"},
        {"@x", "\"@\" takes a row number"},
        {"@-1", "\"@\" takes a row number"},
        {"@1x", "\"@\" takes a row number"},
        {"@99999999999999999999999", "\"@\" takes a row number"},
        {"@0", "numbered from 1"},
        // The library's reasons, as it gives them.
        {"", "an empty device selector"},
        {"{\"serial\":", "not a JSON device description"},
        {"=x", "\"=x\" in the filter \"=x\" names no member"},
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
        {"@x/y_manager.so", false},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_EQ(names_plugin(c.word), c.plugin);
    }
}

TEST(Selectors, ARowIsOneOfTheTablesRows) {
    std::vector<TableEntry> const table{{"/p/a_manager.so", R"({"serial":"A"})"},
                                        {"/p/b_manager.so", R"({"serial":"B"})"}};
    EXPECT_EQ(&table_row(2, table), &table[1]);
    for (std::size_t const row : {0, 3}) {
        SCOPED_TRACE(row);
        try {
            table_row(row, table);
            ADD_FAILURE() << "no error";
        } catch (UsageError const& e) {
            EXPECT_STREQ(e.what(), ("the last scan's table has 2 rows, not row " + std::to_string(row) +
                                    "; run `zelm scan` again")
                                       .c_str());
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

    // Nested deeper than any table, though a table otherwise.
    char const* const deep = R"({"rows":[{"plugin":"/p/a_manager.so","description":"1","x":[]}]})";
    for (std::string const content : {"not json", R"({"rows":[{"plugin":1}]})", R"({"rows":[[[[]]]]})", "[]", deep}) {
        std::ofstream(directory_ / "last-scan.json") << content;
        check_refused([&] { load_last_scan(directory_); }, content);
    }
}

}  // namespace
}  // namespace zelm::tool
