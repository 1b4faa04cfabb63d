#include "app/command_line.h"

#include "app/diagnostics.h"
#include "app/run_sheet.h"
#include "cache/seek_table_cache.h"
#include "platform/text_escape.h"

namespace trakmap {

void printUsage(std::FILE* out) {
    std::fputs("trakmap: dump cue sheet files (.cue)\n", out);
    std::fputs("Usage: trakmap <options> [.cue file] ...\n", out);
}

int trakmapMain(int argc, PathChar** argv) {
    if (argc <= 1) {
        printUsage(stdout);
        return 0;
    }
    // Decided once for the run: texts from sheets reach a terminal escaped, and
    // a file or a pipe byte for byte.
    setReportOnTerminal(platformIsTerminal(stdout));
    setSeekTableCacheNotice(reportAboutRun);
    DiscContext context;
    for (int i = 1; i < argc; ++i) {
        const PathChar* argument = argv[i];
        if (platformIsOption(argument)) {
            // Help options end the program successfully; anything else is an error.
            PathChar second = argument[0] != 0 ? argument[1] : 0;
            printUsage(stdout);
            std::fflush(stdout);
            return (second == '?' || second == 'H' || second == 'h') ? 0 : 1;
        }
        std::fputs("trakmap ", stdout);
        writeReportText(stdout, platformPathToReportText(argument));
        std::fputs("\n", stdout);
        // Clearing the context releases what the previous sheet left in it.
        context = DiscContext{};
        runSheet(argument, context);
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace trakmap
