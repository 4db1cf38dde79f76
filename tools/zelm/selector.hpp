// How people name one device on the command line: its description (JSON),
// its serial number as `zelm scan` shows it, a key=value filter over the
// members of its description, or its row in the last scan's table ("@2").
// Parsing and matching are pure, so that the rules are tested as tables.
#pragma once

#include "usage_error.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace zelm::tool {

// A description typed as JSON.
struct DescriptionSelector {
    nlohmann::json description;
};

// The serial number that a scan shows for a free device.
struct SerialSelector {
    std::string serial;
};

// Members that the description, a JSON object, must have, in the order typed.
struct FilterSelector {
    std::vector<std::pair<std::string, std::string>> members;
};

// A row of the last scan's table, counted from 1.
struct RowSelector {
    std::size_t row = 0;
};

struct Selector {
    std::string text;  // as typed, for messages
    std::variant<DescriptionSelector, SerialSelector, FilterSelector, RowSelector> kind;
};

// Text starting with '{', '[' or '"' (after white space) is a JSON
// description; "@N" (decimal,
// from 1) a row; text holding '=' a filter, split into members at each ','
// that starts a new "key=" (so "name=a,b,serial=1" is name "a,b" and serial
// "1") and each member at its first '='; anything else a serial number.
// Returns a message for malformed text: bad JSON, a description nested too
// deep, "@" without a row number or "@0", a filter member with no key.
std::expected<Selector, std::string> parse_selector(std::string_view text);

// True when a device command's first word names a plug-in file rather than a
// device: a path with a '/', or a name that the directory scan takes for a
// plug-in (see zelm::is_plugin_file_name), and no JSON, "@N" or key=value
// selector. A serial number holding a '/' follows a plug-in to be one.
bool names_plugin(std::string_view word);

// A device that a selector may name: its plug-in file, its listed
// description and, when a scan found it free, the serial number it showed,
// or why the scan could not query it (its query failed, or its lock files
// could not be used), so that a serial number that names nothing can say
// which devices it might have named.
struct Candidate {
    std::filesystem::path plugin;
    nlohmann::json description;
    std::optional<std::string> serial;
    std::optional<std::string> query_error = std::nullopt;
};

// The candidates that `selector` names, in their order. A description names
// the candidates whose description has the same compact text, else those
// equal to it as JSON values (7.0 for 7); a serial those whose scan showed
// exactly that serial; a filter those whose description is an object having
// every member, a string member equal to the value's text, any other member
// equal to the value read as JSON as descriptions are (parse_json_within:
// so "serial=7" matches 7 and 7.0, "on=true" matches true, and
// "serial=1e400" matches no number). A row selector names none: see
// row_candidate.
std::vector<Candidate const*> matching(Selector const& selector, std::vector<Candidate> const& candidates);

// The search for a device left something out that the selector may have
// named: a device whose query failed or whose lock files could not be used,
// or a plug-in that could not be searched. Not bad usage but a failed
// operation: the same selector may name a device once it answers.
class IncompleteSearch : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The one candidate `selector` names among `candidates`, the devices listed
// (or, for a serial number, scanned) in `searched`, for example
// "sim_manager.so", with `unsearched` why each plug-in that the search left
// out could not be searched (one line naming it).
// When none matches, throws IncompleteSearch when a candidate has a
// query_error or a plug-in was left out, saying how many and why, for example
// "no device listed by sim_manager.so matches the serial number SIM-0002; 1
// device could not be queried: device {...} (sim_manager.so): <error>";
// otherwise UsageError saying what was searched (for a serial number also
// that occupied devices show none, when some were). Throws AmbiguousSelector
// when several match. Messages hold the selector's and the devices' text as
// they are: whoever prints them escapes them.
Candidate const& chosen_candidate(Selector const& selector, std::vector<Candidate> const& candidates,
                                  std::string const& searched, std::vector<std::string> const& unsearched = {});

// A selector that names more than one device: the message says how many,
// and candidates() gives them, one per line ("<plug-in>  <description>").
class AmbiguousSelector : public UsageError {
public:
    AmbiguousSelector(std::string const& message, std::vector<std::string> candidates)
        : UsageError(message), candidates_(std::move(candidates)) {}
    std::vector<std::string> const& candidates() const { return candidates_; }

private:
    std::vector<std::string> candidates_;
};

// A row of a scan's table: the plug-in file (absolute) and the description's
// compact text as listed.
struct TableEntry {
    std::filesystem::path plugin;
    std::string description;
};

// The listed device that row `row` of `table` names, among the candidates
// of its plug-in as listed now. Throws UsageError when the table has no such
// row, and when the row is stale: its plug-in is not among `candidates` or
// no longer lists its description.
Candidate const& row_candidate(std::size_t row, std::vector<TableEntry> const& table,
                               std::vector<Candidate> const& candidates);

}  // namespace zelm::tool
