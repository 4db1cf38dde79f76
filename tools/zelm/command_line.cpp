// The command-line definition: every command, argument and help text, and
// the mapping of outcomes to exit statuses. Values are parsed into typed
// options while the command line is parsed, so that a malformed number,
// description or byte string is a usage error (2) and never a failed
// operation (1); so is a description that names no device of its plug-in,
// which only the command can tell.
#include "command_line.hpp"

#include "arguments.hpp"
#include "cluster_options.hpp"
#include "commands.hpp"
#include "escape.hpp"
#include "exit_status.hpp"
#include "plugin_directory.hpp"
#include "selector.hpp"
#include "status_line.hpp"

#include <zelm/cluster.hpp>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <exception>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelm::tool {

namespace {

constexpr char const* tool_help =
    "Finds hardware devices through device-manager plug-ins and takes exclusive,\n"
    "cross-process ownership of them.";

constexpr char const* tool_footer =
    "Devices: the device commands take [PLUGIN] SELECTOR. SELECTOR is one of\n"
    "  SIM-0001                the serial number that `zelm scan` shows for the device\n"
    "  model=sim-counter,...   members of the device's description; a member that is not a\n"
    "                          string matches the value read as JSON (serial=7 matches 7 and 7.0)\n"
    "  @2                      row 2 of the table that `zelm scan` printed last\n"
    "  '{\"serial\":\"SIM-0001\",\"model\":\"sim-counter\"}'\n"
    "                          the description as JSON, as `zelm scan` shows it; member order,\n"
    "                          spacing and a number's notation (7.0 for 7) do not matter\n"
    "An occupied device keeps the serial number it showed when last queried on this machine; one\n"
    "never queried while free has none: name it by key=value or @N. A selector that names no\n"
    "device, or several (they are listed), is bad usage; one that names none while some device\n"
    "could not be queried, or some plug-in searched, fails saying which and why.\n"
    "Plug-ins: the first word is the plug-in file when it holds a '/' or is named like a plug-in\n"
    "(x_manager.so); without one, every plug-in of the plug-in directory is searched. A bare file\n"
    "name (sim_manager.so) names a file in the plug-in directory, never one in the current\n"
    "directory; name that one ./sim_manager.so. Other paths are taken as given.\n"
    "Numbers: decimal, or hexadecimal with a 0x prefix.\n"
    "\n"
    "Examples:\n"
    "  zelm scan\n"
    "  zelm info SIM-0001\n"
    "  zelm reg get sim_manager.so model=sim-counter 0\n"
    "  zelm status @1\n"
    "\n"
    "Environment:\n"
    "  ZELM_PLUGIN_DIR  plug-in directory used when a command is given none\n"
    "  TMPDIR           parent of the lock directory that all processes share\n"
    "  XDG_RUNTIME_DIR  where the last scan's table is kept for @N (else TMPDIR/zelm-<uid>)\n"
    "  ZELM_CLUSTER     etcd endpoints of the lab's cluster, as --cluster takes them (empty: none)\n"
    "  ZELM_HOST_ID     this host's id in the cluster, as --host-id\n"
    "\n"
    "Lab-wide devices (network devices that other hosts reach too, as their plug-ins say): in a\n"
    "cluster, owning one also takes its key in etcd, so one process in the whole lab owns it;\n"
    "scans and `zelm who` name the holder's host. Without a cluster nothing changes.\n"
    "\n"
    "Exit status: 0 success, 1 a failed operation (also: the cluster is unavailable), 2 bad usage,\n"
    "3 the device is occupied (owned by another process, on this host or another).";

// Shown at the end of the help, so people see where the default points.
std::string plugin_directory_note() {
    try {
        return "Default plug-in directory: " + default_plugin_directory().native();
    } catch (std::exception const& e) {
        return std::string("Default plug-in directory: unknown (") + e.what() + ")";
    }
}

// A number argument, parsed as the tool parses numbers everywhere.
// The bound is checked here, not by a CLI11 validator: a device command
// validates its positionals to tell a plug-in from a selector, and CLI11
// skips a positional that fails validation instead of reporting it.
template <typename Number, typename Target>
CLI::Option* add_number(CLI::App& app, std::string const& name, Target& target, std::string const& help,
                        Number max = std::numeric_limits<Number>::max()) {
    auto store = [&target, name, max](std::string const& text) {
        auto parsed = parse_number<Number>(text);
        if (!parsed) {
            throw CLI::ValidationError(name, fmt::format("\"{}\": {}", text, parsed.error()));
        }
        if (*parsed > max) {
            throw CLI::ValidationError(name, fmt::format("\"{}\": at most {}", text, max));
        }
        target = *parsed;
    };
    return app.add_option_function<std::string>(name, store, help)->type_name("NUMBER");
}

// A time in seconds: finite and within what the clocks hold, so that a
// deadline computed from it is the one asked for.
template <typename Target>
CLI::Option* add_seconds(CLI::App& app, std::string const& name, Target& target, bool zero_allowed,
                         std::string const& help) {
    auto store = [&target, name, zero_allowed](std::string const& text) {
        auto parsed = parse_seconds(text, zero_allowed);
        if (!parsed) {
            throw CLI::ValidationError(name, fmt::format("\"{}\": {}", text, parsed.error()));
        }
        target = *parsed;
    };
    return app.add_option_function<std::string>(name, store, help)->type_name("SECONDS");
}

// --timeout beside --isolate: how long one plug-in's child may take.
CLI::Option* add_isolation_timeout(CLI::App& app, double& target, CLI::Option* isolate, std::string_view work) {
    return add_seconds(app, "--timeout", target, false,
                       fmt::format("With --isolate: kill a plug-in's {} after SECONDS (default {})", work,
                                   default_isolation_timeout))
        ->needs(isolate);
}

// [PLUGIN] SELECTOR: the first word is the plug-in only when it names one
// (names_plugin); otherwise it is the selector, and the plug-ins of the
// plug-in directory are searched.
void add_target(CLI::App& app, DeviceTarget& target) {
    auto const plugin_word = [](std::string const& word) {
        return names_plugin(word) ? std::string() : std::string("not a plug-in file");
    };
    app.validate_positionals();
    app.add_option("PLUGIN", target.plugin,
                   "Plug-in file of the device's family (default: search every plug-in of the plug-in directory)")
        ->type_name("")
        ->check(CLI::Validator(plugin_word, "", "plug-in"));
    auto store = [&target](std::string const& text) {
        auto parsed = parse_selector(text);
        if (!parsed) {
            throw CLI::ValidationError("SELECTOR", parsed.error());
        }
        target.selector = std::move(*parsed);
    };
    app.add_option_function<std::string>("SELECTOR", store,
                                         "The device: a serial number, key=value[,key=value], @ROW or a JSON "
                                         "description (see zelm --help)")
        ->type_name("")
        ->required();
}

// The parsed command: what to run and its name for error messages.
struct Chosen {
    std::string name;
    std::function<void()> run;
};

class CommandLine {
public:
    CommandLine() : app_(tool_help, "zelm") {
        app_.set_version_flag("--version", fmt::format("zelm {}", ZELM_TOOL_VERSION));
        app_.footer([] { return std::string(tool_footer) + "\n" + plugin_directory_note(); });
        app_.require_subcommand(1);
        app_.get_formatter()->column_width(34);
        define_cluster();
        define_scan();
        define_plugins();
        define_hold();
        define_queries();
        define_registers();
        define_transfers();
        define_stream();
        define_lock_id();
        define_clean();
        define_who();
    }

    int run(int argc, char const* const* argv) {
        arguments_.assign(argv + 1, argv + argc);
        // Only the words before hold's "--" are parsed: the rest is the
        // command's, whatever it looks like.
        std::vector<char const*> own(argv, argv + argc);
        if (auto const start = hold_command_at()) {
            hold_after_.emplace(arguments_.begin() + static_cast<std::ptrdiff_t>(*start), arguments_.end());
            own.resize(*start);  // the program's name, and the words before "--"
        }
        try {
            app_.parse(static_cast<int>(own.size()), own.data());
        } catch (CLI::Success const& e) {
            return app_.exit(e);
        } catch (CLI::ParseError const& e) {
            return usage_error(e, argc, argv);
        }
        return run_chosen();
    }

private:
    // Registers a command that runs `run` when it is the one given.
    CLI::App* command(CLI::App& parent, std::string const& name, std::string const& help, std::function<void()> run) {
        auto full_name = &parent == &app_ ? name : parent.get_name() + " " + name;
        auto* sub = parent.add_subcommand(name, help);
        sub->callback([this, full_name = std::move(full_name), run = std::move(run)] { chosen_ = {full_name, run}; });
        return sub;
    }

    // Global options, before the command.
    void define_cluster() {
        app_.add_option("--cluster", cluster_.endpoints,
                        "Join the etcd cluster at these endpoints (http:// or https:// URLs, comma-separated) "
                        "before the command, to own lab-wide devices lab-wide")
            ->type_name("URL[,URL...]")
            ->envname("ZELM_CLUSTER");
        app_.add_option("--host-id", cluster_.host_id,
                        "This host's id in the cluster (default: the machine's host name)")
            ->type_name("NAME")
            ->envname("ZELM_HOST_ID");
        add_number<std::uint32_t>(app_, "--cluster-ttl", cluster_.ttl,
                                  fmt::format("Seconds the cluster keeps this process's devices after it is gone "
                                              "(its lease's time-to-live; default {}, at least 2)",
                                              cluster::Options{}.ttl.count()))
            ->type_name("SECONDS");
    }

    void define_scan() {
        auto* sub =
            command(app_, "scan", "Scan plug-ins for devices: found, occupied or failed", [this] { run_scan(scan_); });
        sub->add_option("DIR", scan_.directory,
                        "Plug-in directory to scan (default: the plug-in directory, unless --plugin is given)")
            ->type_name("");
        sub->add_option("--plugin,-p", scan_.plugins, "Also scan this plug-in file (repeatable)")
            ->type_name("FILE")
            ->take_all();
        sub->add_flag("--json", scan_.json,
                      "Print a JSON array: per device its state (\"found\", \"occupied\", \"failed\") and its "
                      "record's members; description, info and status are embedded as JSON values");
        sub->add_option("--jobs,-j", scan_.jobs,
                        "Scan up to N plug-ins at once, one thread (or with --isolate one process) each; "
                        "the output order stays that of a serial scan")
            ->type_name("N")
            ->check(CLI::Validator(
                [](std::string const& text) {
                    return parse_number<unsigned>(text) ? std::string() : "wants a number, not \"" + text + "\"";
                },
                ""))
            ->check(CLI::Range(1U, 256U));
        auto* isolate = sub->add_flag("--isolate", scan_.isolate,
                                      "Scan each plug-in in a child process of its own: a plug-in that crashes "
                                      "or hangs costs only its own devices");
        add_isolation_timeout(*sub, scan_.timeout, isolate, "scan");
        sub->footer(
            "Progress is shown on standard error when it is a terminal and the scan takes a while.\n"
            "With --isolate, a plug-in whose process crashes, is killed or times out is reported in "
            "one warning line and left out; the scan still exits 0, as for any plug-in that fails.");
    }

    void define_plugins() {
        auto* sub = command(app_, "plugins", "List plug-ins: family, version, manager path, devices",
                            [this] { run_plugins(plugins_); });
        sub->add_option("DIR", plugins_.directory, "Plug-in directory (default: the plug-in directory)")->type_name("");
        sub->add_flag("--json", plugins_.json, "Print a JSON array instead of a table");
        auto* isolate = sub->add_flag("--isolate", plugins_.isolate,
                                      "Examine each plug-in in a child process of its own: a plug-in that crashes "
                                      "or hangs gets a row saying so, and the others are still listed");
        add_isolation_timeout(*sub, plugins_.timeout, isolate, "examination");
    }

    void define_hold() {
        auto* sub = command(app_, "hold", "Own a device until interrupted, for a while, or while a command runs",
                            [this] { run_hold(hold_command()); });
        hold_app_ = sub;
        add_target(*sub, hold_.target);
        add_seconds(*sub, "--for", hold_.seconds, true, "Release the device after SECONDS");
        add_seconds(*sub, "--wait", hold_.wait, true,
                    "While another process owns the device, wait up to SECONDS for it instead of failing");
        // Only what comes before "--" reaches the parser: words found here
        // are a command misplaced before it.
        sub->add_option("COMMAND", hold_.command, "After --: a command to run while holding, and its arguments")
            ->type_name("");
        sub->footer(
            "Without COMMAND: prints one \"holding ...\" line once the device is owned and one "
            "\"released ...\" line when it is let go; exits 0 in both cases.\n"
            "With -- COMMAND: every word after -- is the command's, never zelm's. It runs once the device is "
            "owned, with the signal mask and dispositions of "
            "a fresh process, and exits with its status (128+N when signal N killed it, 126 when it "
            "cannot be run, 127 when it is not found). SIGINT and SIGTERM are passed on to it. It "
            "inherits the ownership lock's descriptor, as with flock(1): the device stays owned until "
            "the command, and whatever it started that kept the descriptor, has ended. Nothing else "
            "is printed.\n"
            "--wait tries again ten times a second; for a lab-wide device held on another host it watches "
            "the device's key in the cluster instead.\n"
            "Exit status 3: the device is owned by another process (after --wait: still owned).");
    }

    // Where hold's command starts in arguments_, when the command given is
    // hold: the first word that is neither an option nor a global option's
    // value names the command.
    std::optional<std::size_t> hold_command_at() const {
        for (std::size_t i = 0; i < arguments_.size(); ++i) {
            if (!arguments_[i].starts_with('-')) {
                return hold_app_->check_name(arguments_[i]) ? tool::hold_command_start(arguments_, i) : std::nullopt;
            }
            if (takes_separate_value(arguments_[i])) {
                ++i;
            }
        }
        return std::nullopt;
    }

    // The hold command's options, with its command taken from after "--".
    HoldOptions const& hold_command() {
        std::optional<std::span<std::string const>> after;
        if (hold_after_) {
            after = *hold_after_;
        }
        if (auto const error = misplaced_command(hold_.command, after)) {
            throw UsageError(*error);
        }
        hold_.command = hold_after_.value_or(std::vector<std::string>{});
        if (!hold_.command.empty() && hold_.seconds) {
            throw UsageError("--for and a command exclude each other: the command's end releases the device");
        }
        return hold_;
    }

    void define_queries() {
        auto* info = command(app_, "info", "Print a device's information (JSON), as scans know it",
                             [this] { run_info(query_); });
        auto* status = command(app_, "status", "Print a device's status (JSON), as scans know it",
                               [this] { run_status(query_); });
        for (auto* sub : {info, status}) {
            add_target(*sub, query_.target);
            sub->add_flag("--live", query_.live, "Own the device and ask it now (fails while another process owns it)");
            sub->footer(
                "Without --live the answer is what `zelm scan` shows: one that any scan stored in the last 5 s, "
                "else one live query of the device, which is never owned. A device that another process owns "
                "is not touched: its last answer, however old, is printed, and a note on standard error names "
                "the owner and the answer's age; one never queried is an error. --live owns the device while "
                "it is asked, so it fails while someone else owns it, and costs a fresh query every time.");
        }
    }

    void define_registers() {
        auto* reg = app_.add_subcommand("reg", "Read or write one register of a device");
        reg->require_subcommand(1);
        auto* get = command(*reg, "get", "Read registers and print one (decimal unless --hex)",
                            [this] { run_register_get(reg_get_); });
        add_target(*get, reg_get_.target);
        add_number<std::uint32_t>(*get, "ADDRESS", reg_get_.address, "Register address")->required();
        get->add_flag("--hex", reg_get_.hex, "Print the value in hexadecimal");

        auto* set = command(*reg, "set", "Stage a register value and send the registers",
                            [this] { run_register_set(reg_set_); });
        add_target(*set, reg_set_.target);
        add_number<std::uint32_t>(*set, "ADDRESS", reg_set_.address, "Register address")->required();
        add_number<std::uint32_t>(*set, "VALUE", reg_set_.value, "Value to set")->required();
        add_number<std::uint32_t>(*set, "--operand", reg_set_.operand,
                                  "Operand passed to the device with the value (default 0)");
        reg->footer(
            "Registers go through the device's synchronous calls: `get` reads the registers and "
            "returns one, `set` stages one value and sends the registers.");
    }

    void define_transfers() {
        auto* read =
            command(app_, "read", "Read bytes from a device and print them in hex", [this] { run_read(read_); });
        add_target(*read, read_.target);
        add_number<std::uint32_t>(*read, "ADDRESS", read_.address, "Address to read at")->required();
        add_number<std::uint64_t>(*read, "COUNT", read_.count, "Number of bytes", std::uint64_t{1} << 30)
            ->required();
        read->footer("Prints the bytes as lower-case hex pairs, 16 to a line; `zelm write` reads them back.");

        auto* write = command(app_, "write", "Write bytes given in hex to a device", [this] { run_write(write_); });
        add_target(*write, write_.target);
        add_number<std::uint32_t>(*write, "ADDRESS", write_.address, "Address to write at")->required();
        auto store = [this](std::vector<std::string> const& parts) {
            for (auto const& part : parts) {
                auto bytes = parse_hex_bytes(part);
                if (!bytes) {
                    throw CLI::ValidationError("BYTES", bytes.error());
                }
                write_.bytes.insert(write_.bytes.end(), bytes->begin(), bytes->end());
            }
        };
        write
            ->add_option_function<std::vector<std::string>>("BYTES", store,
                                                            "Hex bytes, e.g. \"de ad be ef\" or deadbeef; "
                                                            "what `zelm read` prints reads back")
            ->type_name("HEX")
            ->required();
    }

    void define_stream() {
        auto* sub = command(app_, "stream", "Read a device's data stream, showing its throughput",
                            [this] { run_stream(stream_); });
        add_target(*sub, stream_.target);
        add_number<std::uint32_t>(*sub, "ADDRESS", stream_.address, "Address to stream from")->required();
        add_number<std::uint64_t>(*sub, "--bytes,-n", stream_.bytes,
                                  "Stop after N bytes (default: until the stream ends or is interrupted)")
            ->type_name("N");
        add_number<std::uint64_t>(*sub, "--size", stream_.size,
                                  "Size argument of the device's start_read_stream, which the device "
                                  "defines (default: the --bytes count, else 0)");
        sub->add_option("--output,-o", stream_.output, "Write the data to FILE (\"-\": standard output)")
            ->type_name("FILE");
        sub->footer(
            "Without --output the data is counted and dropped. SIGINT or SIGTERM stops the stream "
            "cleanly with exit status 0. The simulated devices take the size as the number of bytes "
            "to deliver, 0 meaning until stopped.");
    }

    void define_lock_id() {
        auto* sub = command(app_, "lock-id", "Print a device's lock identity (its lock files' name)",
                            [this] { run_lock_id(lock_id_); });
        add_target(*sub, lock_id_.target);
        sub->add_option("--manager-path", lock_id_.manager_path,
                        "Compute the identity for this manager path, taken literally, and the JSON description "
                        "as typed, without a plug-in")
            ->type_name("PATH");
        sub->footer("The identity is computed from the path that the plug-in's manager reports and the "
                    "device's listed description; no lock file is touched.");
    }

    void define_who() {
        auto* sub = command(app_, "who", "Print the process that holds a device, like fuser",
                            [this] { status_ = run_who(who_); });
        sub->alias("owner");
        add_target(*sub, who_.target);
        sub->add_flag("--json", who_.json, "Print {\"pid\": ..., \"command\": ...} (in a cluster also \"host\"), or null when free");
        sub->footer(
            "Prints the holder as \"4242 (zelm)\" (in a cluster \"4242 (zelm) on host-b\") and exits 0, or "
            "prints \"free\" and exits 1 when nobody holds the device. A lab-wide device's holder is asked of "
            "the cluster. Lists the plug-in's devices but scans none, unless the device is named by "
            "its serial number.");
    }

    void define_clean() {
        auto* sub = command(app_, "clean", "Remove lock files that nobody holds and nobody has used for a day",
                            [this] { run_clean(clean_); });
        add_number<std::uint32_t>(*sub, "--older-than", clean_.older_than,
                                  "Remove files unused for SECONDS instead (0: every file nobody holds)")
            ->type_name("SECONDS");
        sub->add_flag("--dry-run", clean_.dry_run, "Only count what would be removed");
        sub->footer(
            "Each file is removed while this process holds its lock, so no process owns, probes or queries "
            "the device meanwhile, and one that opened the file just before starts over on a new one. Other "
            "users' files are skipped (only they, root and the directory's owner may remove them).");
    }

    // The deepest command that was recognised before a parse error.
    CLI::App const& recognised() const {
        auto const* app = &app_;
        while (!app->get_subcommands().empty()) {
            app = app->get_subcommands().front();
        }
        return *app;
    }

    // "zelm reg get" for a parse error inside `reg get`.
    std::string usage_context() const {
        std::string context = "zelm";
        for (auto const* app = &app_; !app->get_subcommands().empty();) {
            app = app->get_subcommands().front();
            context += " " + app->get_name();
        }
        return context;
    }

    // CLI11 reports a misspelt command as a missing one: name the word that
    // stood where the command was expected.
    std::string usage_message(CLI::ParseError const& e, int argc, char const* const* argv) const {
        auto const& app = recognised();
        if (e.get_name() == "RequiredError" && app.get_require_subcommand_min() > 0) {
            std::vector<std::string> words;  // argv words that are neither options nor their values
            for (int i = 1; i < argc; ++i) {
                if (argv[i][0] != '-') {
                    words.emplace_back(argv[i]);
                } else if (takes_separate_value(argv[i])) {
                    ++i;
                }
            }
            auto const depth = static_cast<std::size_t>(std::ranges::count(usage_context(), ' '));
            if (depth < words.size()) {
                return fmt::format("unknown command \"{}\"", words[depth]);
            }
        }
        return one_line(e.what());
    }

    // A global option such as "--cluster URL", whose value is the next word.
    bool takes_separate_value(std::string_view word) const {
        auto const* option = app_.get_option_no_throw(std::string(word));
        return word.find('=') == std::string_view::npos && option != nullptr && option->get_type_size_max() > 0;
    }

    int usage_error(CLI::ParseError const& e, int argc, char const* const* argv) const {
        auto const context = usage_context();
        StatusLine::instance().print(
            fmt::format("{}: {} (see '{} --help')\n", context, usage_message(e, argc, argv), context));
        return exit_usage;
    }

    int run_chosen() const {
        auto const outcome = run_for_outcome([this] {
            join_cluster(cluster_);
            chosen_.run();
        });
        if (!outcome.message) {
            return outcome.status == exit_success ? status_ : outcome.status;
        }
        // The lines carry text from plug-ins and files: each shown as one
        // line of what it holds, as the tables show such text.
        StatusLine::instance().clear();
        StatusLine::instance().print(fmt::format("zelm {}: {}\n", chosen_.name, escaped(*outcome.message)));
        for (auto const& detail : outcome.details) {
            StatusLine::instance().print("  " + escaped(detail) + "\n");
        }
        return outcome.status;
    }

    CLI::App app_;
    std::vector<std::string> arguments_;  // argv without the program's name
    Chosen chosen_;
    ClusterOptions cluster_;
    ScanCommandOptions scan_;
    PluginsOptions plugins_;
    CLI::App* hold_app_ = nullptr;
    HoldOptions hold_;
    std::optional<std::vector<std::string>> hold_after_;  // the words after hold's "--", when given
    QueryOptions query_;
    RegisterGetOptions reg_get_;
    RegisterSetOptions reg_set_;
    ReadOptions read_;
    WriteOptions write_;
    StreamOptions stream_;
    LockIdOptions lock_id_;
    CleanCommandOptions clean_;
    WhoOptions who_;
    int status_ = 0;  // a command's exit status when it succeeds
};

}  // namespace

int run_command_line(int argc, char const* const* argv) {
    CommandLine command_line;
    return command_line.run(argc, argv);
}

}  // namespace zelm::tool
