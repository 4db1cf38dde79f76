// Standard output of the commands: written whole and flushed at once, so that
// a script reading a pipe sees each answer as soon as the tool has it.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace zelm::tool {

// Writes `text` to standard output and flushes it. Throws std::runtime_error
// "cannot write output: <reason>" when it cannot be written (a full disk, an
// I/O error), so that a truncated answer never passes for a whole one. A
// reader that left early (EPIPE, once SIGPIPE is ignored) is no failure: the
// output is dropped, as nobody reads it any more.
void print_stdout(std::string_view text);

// Indented JSON text of `value` with a final newline. Bytes that are not
// UTF-8 (from plug-ins, devices or file names) become U+FFFD instead of
// failing the whole output.
std::string json_text(nlohmann::ordered_json const& value);

// A device's answer, indented for reading as json_text indents it; text that
// is not JSON as it came, with a final newline.
std::string readable_json(std::string const& text);

}  // namespace zelm::tool
