// `zelm clean` as a user runs it: one summary line, a held device's file
// kept whatever its age, and one line of reason with exit status 1 when the
// lock directory cannot be cleaned.
#include "tool_test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>

namespace zelm::tool_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::set<std::string> names_in(fs::path const& directory) {
    std::set<std::string> names;
    for (auto const& entry : fs::directory_iterator(directory)) {
        names.insert(entry.path().filename());
    }
    return names;
}

void make_old(fs::path const& directory) {
    auto const two_days_ago = std::time(nullptr) - 2 * 86400;
    struct timespec const times[2] = {{two_days_ago, 0}, {two_days_ago, 0}};
    for (auto const& entry : fs::directory_iterator(directory)) {
        ASSERT_EQ(utimensat(AT_FDCWD, entry.path().c_str(), times, 0), 0) << entry.path();
    }
}

class Clean : public ToolTest {
protected:
    fs::path lock_directory() const { return test::lock_directory(); }

    json const held{{"serial", "C-1"}};
    json const free{{"serial", "C-2"}};
};

TEST_F(Clean, RemovesOldFilesThatNobodyHoldsAndSaysWhatItDid) {
    use_sim_config(sim_config(json::array({{{"description", held}}, {{"description", free}}})));
    run_ok({"scan", "--plugin", sim_plugin.native()});
    auto const scanned = names_in(lock_directory());
    ASSERT_EQ(scanned.size(), 4U) << "an ownership and a query file per device";

    EXPECT_EQ(run_ok({"clean"}).out, "removed 0 files, kept 4 in use or recent, skipped 0 of other users\n");

    Holder holder(sim_plugin, held);
    ASSERT_TRUE(holder.holding());
    make_old(lock_directory());
    EXPECT_EQ(run_ok({"clean", "--dry-run"}).out,
              "would remove 3 files, kept 1 in use or recent, skipped 0 of other users\n");
    EXPECT_EQ(names_in(lock_directory()), scanned);

    EXPECT_EQ(run_ok({"clean"}).out, "removed 3 files, kept 1 in use or recent, skipped 0 of other users\n");
    auto const left = names_in(lock_directory());
    ASSERT_EQ(left.size(), 1U);
    EXPECT_TRUE(left.begin()->ends_with(".occupied")) << *left.begin();
    EXPECT_EQ(run_zelm({"hold", sim_plugin.native(), held.dump(), "--for", "0"}).status, 3) << "still held";
}

TEST_F(Clean, RecentFilesGoOnlyWithAShorterAge) {
    use_sim_config(sim_config(json::array({{{"description", free}}})));
    run_ok({"scan", "--plugin", sim_plugin.native()});
    EXPECT_EQ(run_ok({"clean", "--older-than", "3600"}).out,
              "removed 0 files, kept 2 in use or recent, skipped 0 of other users\n");
    EXPECT_EQ(run_ok({"clean", "--older-than", "0"}).out,
              "removed 2 files, kept 0 in use or recent, skipped 0 of other users\n");
    EXPECT_TRUE(names_in(lock_directory()).empty());
}

TEST_F(Clean, DirectoryThatCannotBeCleanedFailsWithOneLine) {
    fs::create_directory(scratch() / "elsewhere");
    fs::create_directory_symlink(scratch() / "elsewhere", lock_directory());
    auto const outcome = run_zelm({"clean"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "zelm clean: Cannot clean: lock directory " + lock_directory().native() +
                               " is a symbolic link\n");
}

}  // namespace
}  // namespace zelm::tool_test
