// kzmnt-cli: the command-line front-end of the KZ maintenance tool. See Commands.h for the
// command line and UsageText() for what the user is told.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "Commands.h"
#include "Console.h"
#include "config/StringTable.h"
#include "platform/ProgramFolder.h"

int main(int argc, char** argv) {
    kz::cli::PrepareProcess();
    kz::cli::CliOptions options;
    std::string error;
    if (!kz::cli::ParseCommandLine(argc, argv, options, &error)) {
        std::fprintf(stderr, "kzmnt-cli: %s\n\n%s", error.c_str(), kz::cli::UsageText().c_str());
        return kz::cli::kExitUsage;
    }
    if (options.help) {
        std::fputs(kz::cli::UsageText().c_str(), stdout);
        return kz::cli::kExitOk;
    }
    if (options.folder) {
        std::error_code ec;
        if (!std::filesystem::is_directory(*options.folder, ec)) {
            std::fprintf(stderr, "kzmnt-cli: --folder %s: no such folder\n",
                         options.folder->c_str());
            return kz::cli::kExitUsage;
        }
        const std::filesystem::path absolute = std::filesystem::absolute(*options.folder, ec);
        kz::platform::SetProgramFolder(ec ? *options.folder : absolute.string());
    }
    kz::LoadConfiguredResourceFile();
    return kz::cli::RunCommand(options);
}
