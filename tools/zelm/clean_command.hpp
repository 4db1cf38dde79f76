// `zelm clean`: removes the lock directory's files that nobody holds and
// nobody has used for a while, through the library's clean.
#pragma once

#include <zelm/clean.hpp>

#include <string>
#include <vector>

namespace zelm::tool {

// The one line the command prints, for example "removed 3 files, kept 2 in
// use or recent, skipped 1 of other users"; a dry run says "would remove".
std::string clean_summary_line(CleanSummary const& summary, bool dry_run);

// Why the clean failed, in one line, when some file could not be looked at
// or removed: the first such file and how many more there were.
std::string clean_failure_line(std::vector<CleanFailure> const& failures);

}  // namespace zelm::tool
