// The clean command.
#include "clean_command.hpp"

#include "commands.hpp"
#include "output.hpp"

#include <fmt/format.h>

#include <stdexcept>

namespace zelm::tool {

std::string clean_summary_line(CleanSummary const& summary, bool dry_run) {
    return fmt::format("{} {} {}, kept {} in use or recent, skipped {} of other users",
                       dry_run ? "would remove" : "removed", summary.removed, summary.removed == 1 ? "file" : "files",
                       summary.kept, summary.other_users);
}

std::string clean_failure_line(std::vector<CleanFailure> const& failures) {
    auto const& first = failures.front();
    auto const more = failures.size() - 1;
    return fmt::format("cannot clean {}: {}{}", first.file, first.reason,
                       more == 0 ? "" : fmt::format(" (and {} more)", more));
}

void run_clean(CleanCommandOptions const& options) {
    CleanOptions clean{.dry_run = options.dry_run};
    if (options.older_than) {
        clean.unused_for = std::chrono::seconds(*options.older_than);
    }
    auto const summary = clean_lock_directory(clean);
    print_stdout(clean_summary_line(summary, options.dry_run) + "\n");
    if (!summary.failures.empty()) {
        throw std::runtime_error(clean_failure_line(summary.failures));
    }
}

}  // namespace zelm::tool
