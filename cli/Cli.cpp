#include "cli/Cli.h"

#include "app/Update.h"
#include "loader/Loader.h"
#include "loader/Resource.h"

#include <CLI/CLI.hpp>
#include <ostream>

namespace {

std::string ProcessorHelp() {
    std::string help = "processor:";
    for (std::size_t i = 0; i < ProcessorNames.size(); ++i) {
        help += (i == 0 ? " " : ", ") + std::to_string(i) + " = " + ProcessorNames[i];
    }
    return help;
}

} // namespace

void TStreamMessageList::Append(const std::string& line) {
    Out << line << std::endl;
}

int RunImage(const TImageOptions& options, std::ostream& out, std::ostream& err) {
    THexLoader loader;
    TStreamMessageList messages(out);
    loader.SetMessageList(&messages);
    if (!loader.SelectProcessor(options.Processor)) {
        err << "fwloader: no processor " << options.Processor << '\n';
        return ExitFailure;
    }
    try {
        return loader.LoadHexResource(FirmwareResource) ? ExitSuccess : ExitFailure;
    } catch (const EResNotFound& e) {
        err << "fwloader: " << e.what() << '\n';
        return ExitFailure;
    }
}

int RunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    CLI::App app{"Writes the converter's firmware over a serial line.", "fwloader"};
    app.require_subcommand(1);

    TImageOptions image;
    CLI::App* imageCommand =
        app.add_subcommand("image", "Read the carried firmware into a processor's memory");
    imageCommand->add_option("--processor", image.Processor, ProcessorHelp())
        ->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e, out, err);
    }
    if (imageCommand->parsed()) {
        return RunImage(image, out, err);
    }
    return ExitFailure;
}
