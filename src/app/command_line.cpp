#include "app/command_line.h"

#include <new>
#include <stdexcept>

#include "app/diagnostics.h"
#include "app/run_sheet.h"
#include "cache/seek_table_cache.h"
#include "platform/text_escape.h"

namespace trakmap {

namespace {

void reportOutOfMemory(const PathChar* sheetPath) {
    try {
        reportAboutSheet(sheetPath, "out of memory");
    } catch (const std::bad_alloc&) {
        std::fputs("trakmap: out of memory\n", stderr);
    }
}

// Prints the banner and runs one sheet. Memory that runs out anywhere in the
// sheet's run fails that sheet alone; the next sheet still runs.
void runOneSheet(const PathChar* sheetPath, DiscContext& context) {
    try {
        std::fputs("trakmap ", stdout);
        writeReportText(stdout, platformPathToReportText(sheetPath));
        std::fputs("\n", stdout);
        // Clearing the context releases what the previous sheet left in it.
        context = DiscContext{};
        runSheet(sheetPath, context);
        return;
    } catch (const std::bad_alloc&) {
        // Handled below, once the failed run's memory is back.
    } catch (const std::length_error&) {
        // A container asked to grow beyond what memory can hold.
    }
    context = DiscContext{};
    reportOutOfMemory(sheetPath);
}

}  // namespace

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
        runOneSheet(argument, context);
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace trakmap
