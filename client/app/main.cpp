// velt-client: the stand-in video-surveillance client that hosts the export
// plug-in. `velt-client ARCHIVE_DIR` opens its window; `velt-client export
// ARCHIVE_DIR --out DIR ...` exports through the plug-in without a screen;
// `velt-client verify FOLDER` checks what an export left.
//
// VELT_REPORT_FEEDS=1 prints the number of archive feeds at exit (for the
// benchmark of gaps).
#include "client/app/Commands.h"
#include "client/archive/ArchiveComponents.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    const char *command = argc > 1 ? argv[1] : "";
    const int code = std::strcmp(command, "export") == 0   ? clientapp::runExportCommand(argc, argv)
                     : std::strcmp(command, "verify") == 0 ? clientapp::runVerifyCommand(argc, argv)
                                                           : clientapp::runWindowCommand(argc, argv);
    if (const char *report = std::getenv("VELT_REPORT_FEEDS"); report && *report == '1')
        std::fprintf(stderr, "feeds: %llu\n", static_cast<unsigned long long>(archive::feedCount()));
    return code;
}
