// The commands of the velt-archive tool. Each takes the tool's whole
// argument list (tool name, command word, the rest), prints its progress
// and results on standard output and returns its outcome; main prints a
// failure's message on standard error. Main thread.
#ifndef CLIENT_TOOLS_COMMANDS_H_
#define CLIENT_TOOLS_COMMANDS_H_

#include "client/tools/Outcome.h"

#include <QStringList>

namespace tools {

// Records a synthetic camera into a new archive.
Outcome runSynth(const QStringList &arguments);
// Records media files, one fragment each, into a new archive.
Outcome runImport(const QStringList &arguments);
// Lists an archive's fragments.
Outcome runInfo(const QStringList &arguments);

}  // namespace tools

#endif  // CLIENT_TOOLS_COMMANDS_H_
