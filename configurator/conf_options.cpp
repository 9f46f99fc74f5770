#include "conf_options.h"

#include <CLI/CLI.hpp>

#ifndef TAGCONF_VERSION
#define TAGCONF_VERSION "0"
#endif

namespace tagconf {

namespace {

// Options every command takes, before or after its name.
void addCommon(CLI::App& app, ConfOptions& o) {
    app.add_option("-t,--timeout", o.timeoutSeconds,
                   "longest wait of an attempt, and the wait before any target answered; a target is given "
                   "up this per attempt, at most 6 times, after its first request")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.001, 3600.0))
        ->capture_default_str();
    app.add_option("-r,--retries", o.retries, "more attempts after the first (a write: more rounds)")
        ->type_name("N")
        ->check(CLI::Range(0, 100))
        ->capture_default_str();
    app.add_option("-c,--concurrency", o.concurrency, "exchanges in flight at most")
        ->type_name("N")
        ->check(CLI::Range(1u, 1000000u))
        ->capture_default_str();
    app.add_option("--rate", o.rate, "datagrams sent per second at most (default no limit)")
        ->type_name("N")
        ->check(CLI::Range(1.0, 10000000.0));
    app.add_option("-p,--port", o.port, "port of targets that name none")
        ->type_name("PORT")
        ->check(CLI::Range(1, 65535))
        ->capture_default_str();
    app.add_option_function<std::string>(
           "--format",
           [&o](const std::string& word) { o.format = word == "json" ? Format::Json : Format::Text; },
           "text (default) or json: one object per target, then the summary's")
        ->type_name("FORMAT")
        ->check(CLI::IsMember({"text", "json"}));
    app.add_option_function<std::string>(
           "--shard",
           [&o](const std::string& text) {
               std::string why;
               if (!tagpoll::parseShard(text, o.shard, why)) throw CLI::ValidationError(why);
           },
           "only the targets whose address and port hash to I modulo N (0 <= I < N)")
        ->type_name("I/N");
}

// --limit, for the commands that act on a file's targets.
void addLimit(CLI::App& command, ConfOptions& o) {
    command
        .add_option("--limit", o.limits,
                    "act only on this target of the file, HOST[:PORT] or [IPV6]:PORT as the file names it "
                    "(repeatable)")
        ->allow_extra_args(false)
        ->type_name("TARGET");
}

// CLI11's complaint, but a value option given twice in the words the other
// programs use.
std::string reason(const CLI::ParseError& e) {
    std::string what = e.what();
    size_t twice = what.find(": At Most 1 required but received");
    return twice == std::string::npos ? what : what.substr(0, twice) + " given more than once";
}

}  // namespace

void describeCommands(CLI::App& app, ConfOptions& o) {
    app.name("tagconf");
    app.description(
        "Brings a fleet of tag-protocol devices to the state a YAML file describes, and saves the\n"
        "state devices hold into such a file.\n"
        "Exit status: plan 0 nothing to change, 2 something to change, 1 an error or an unreachable\n"
        "target; apply and save 0 when every target converged or was read, 1 otherwise; validate 0\n"
        "for a sound file, 1 otherwise.");
    app.set_version_flag("--version", "tagconf " TAGCONF_VERSION);
    app.require_subcommand(1);
    addCommon(app, o);

    CLI::App* plan = app.add_subcommand("plan", "read every target and print what apply would change");
    plan->fallthrough();
    plan->add_option("STATE", o.stateFile, "the state file")->required();
    plan->add_option("--out", o.planOut,
                     "also write a plan file there: what each target held and what apply PLAN will write")
        ->type_name("PLAN");
    addLimit(*plan, o);
    plan->callback([&o] { o.command = Command::Plan; });

    CLI::App* apply = app.add_subcommand(
        "apply", "write what differs, read it back, and report; given a plan file, write what it planned");
    apply->fallthrough();
    apply->add_option("FILE", o.stateFile, "a state file, or a plan file made by plan --out")->required();
    apply->add_flag("--dry-run", o.dryRun, "only plan: read and compare, write nothing");
    apply
        ->add_option("--lock-timeout", o.lockTimeout,
                     "seconds to wait while another apply on this machine holds some of the targets")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.0, 86400.0))
        ->capture_default_str();
    addLimit(*apply, o);
    apply->callback([&o] { o.command = o.dryRun ? Command::Plan : Command::Apply; });

    CLI::App* validate = app.add_subcommand(
        "validate", "check a state or plan file whole, without sending or looking up anything");
    validate->fallthrough();
    validate->add_option("FILE", o.stateFile, "a state file (with its targets file), or a plan file")
        ->required();
    addLimit(*validate, o);
    validate->callback([&o] { o.command = Command::Validate; });

    for (CLI::App* command : {plan, apply})
        command->footer("It also takes -t, -r, -c, --rate, -p and --format: see tagconf --help.");
    validate->footer("-p gives the port of targets that name none, as for plan.");

    CLI::App* save = app.add_subcommand("save", "read tags from targets into a state file apply restores");
    save->fallthrough();
    // One value each, repeatable: the tag names that follow are not files.
    save->add_option("-f,--file", o.files, "targets, one HOST[:PORT], [IPV6]:PORT or ADDRESS/N[:PORT] a line")
        ->allow_extra_args(false)
        ->type_name("FILE");
    save->add_option("--target", o.targets, "one target HOST[:PORT] or [IPV6]:PORT (repeatable)")
        ->allow_extra_args(false)
        ->type_name("HOST[:PORT]");
    save->add_option("-o,--output", o.output,
                     "replace that file, whole, with the state file (default standard output)")
        ->type_name("FILE");
    save->add_flag("--partial", o.partial,
                   "when some targets cannot be read, write the others (exit status still 1)");
    save->add_option("TAGS", o.tags, "tag names; a group stands for the members a device answers with")
        ->required();
    save->footer("It also takes -t, -r, -c, --rate and -p: see tagconf --help.");
    save->callback([&o] { o.command = Command::Save; });
}

int parseOptions(int argc, char** argv, ConfOptions& o) {
    CLI::App app;
    describeCommands(app, o);
    try {
        app.parse(argc, argv);
        o.portGiven = app.count("--port") > 0;
        if (o.command == Command::Save && o.files.empty() && o.targets.empty())
            throw CLI::ValidationError("no targets: give -f FILE or --target HOST[:PORT]");
    } catch (const CLI::CallForHelp&) {
        CLI::App* asked = app.get_subcommands().empty() ? &app : app.get_subcommands().front();
        // "Usage: tagconf plan", not "Usage: plan".
        fputs(asked->help(asked == &app ? "" : "tagconf").c_str(), stdout);
        return 0;
    } catch (const CLI::CallForVersion&) {
        printf("tagconf %s\n", TAGCONF_VERSION);
        return 0;
    } catch (const CLI::ParseError& e) {
        fprintf(stderr, "tagconf: %s\nTry 'tagconf --help' for more information.\n", reason(e).c_str());
        return 1;
    }
    return -1;
}

}  // namespace tagconf
