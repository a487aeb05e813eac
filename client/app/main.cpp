// velt-client: the stand-in video-surveillance client that hosts the export
// plug-in. `velt-client ARCHIVE_DIR` opens its window; `velt-client export
// ARCHIVE_DIR --out DIR ...` exports through the plug-in without a screen.
#include "client/app/Commands.h"

#include <cstring>

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "export") == 0)
        return clientapp::runExportCommand(argc, argv);
    return clientapp::runWindowCommand(argc, argv);
}
