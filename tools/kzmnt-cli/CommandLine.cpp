#include "CommandLine.h"

#include <CLI/CLI.hpp>

#include <algorithm>

#include "NodeOption.h"
#include "platform/Printable.h"

namespace kz::cli {

bool ParseCommandLine(int argc, char** argv, CliOptions& options, std::string* error) {
    auto fail = [&](const std::string& reason) {
        if (error) {
            *error = reason;
        }
        return false;
    };
    // An empty inline value ("--comment=") is that empty value; the parser would take the
    // next word instead, so it gets it as a word of its own.
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool optionsEnded = std::find(words.begin(), words.end(), "--") != words.end();
        if (!optionsEnded && arg.size() > 3 && arg.rfind("--", 0) == 0 &&
            arg.find('=') == arg.size() - 1) {
            words.push_back(arg.substr(0, arg.size() - 1));
            words.emplace_back();
        } else {
            words.push_back(arg);
        }
    }
    std::reverse(words.begin(), words.end());  // the parser takes the words from the back

    CLI::App app("kzmnt-cli");
    app.set_help_flag();  // --help prints this program's own usage text
    app.allow_extras();   // an unknown option is reported in this program's words below
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    std::vector<std::string> node;
    app.add_option("--folder", options.folder);
    app.add_option("--port", options.port);
    app.add_option("--node", node)
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--password", options.password);
    app.add_option("--comment", options.comment);
    app.add_flag("--all", options.all);
    app.add_flag("--resume", options.resume);
    app.add_option("--last", options.last);
    app.add_option("--safety-backup", options.safetyBackup);
    app.add_flag("-y,--yes", options.yes);
    app.add_flag("-h,--help", options.help);
    std::vector<std::string> positional;
    app.add_option("words", positional);
    try {
        app.parse(words);
    } catch (const CLI::ArgumentMismatch&) {
        // An option's value is taken whatever it looks like, so only the last word can
        // lack one.
        return fail(Printable(argv[argc - 1]) + " needs a value");
    } catch (const CLI::ConversionError&) {
        return fail("--last needs a number of 1 or more");
    } catch (const CLI::ParseError& e) {
        return fail(e.what());
    }
    for (const std::string& extra : app.remaining()) {
        if (extra != "--") {
            return fail("unknown option " + Printable(extra));
        }
    }
    if (options.port && options.port->empty()) {
        return fail("--port needs a device");
    }
    if (options.last && *options.last < 1) {
        return fail("--last needs a number of 1 or more");
    }
    if (options.safetyBackup && options.safetyBackup->empty()) {
        return fail("--safety-backup needs a folder");
    }
    for (const std::string& value : node) {
        options.node = NodeOption(value);
        if (!options.node) {
            return fail("--node " + Printable(value) +
                        ": not an IPv4 address (a.b.c.d, each part 0 to 255) with an "
                        "optional :PORT (1024 to 65535)");
        }
        options.nodes.push_back(*options.node);
    }
    if (!positional.empty()) {
        options.command = positional.front();
        options.args.assign(positional.begin() + 1, positional.end());
    }
    return true;
}

}  // namespace kz::cli
