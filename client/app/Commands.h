// The two ways velt-client runs: the window on an archive, and the scripted
// export without a screen. Each builds the client (application, data
// folder, host with the plug-in), runs, releases everything it holds and
// then prints on standard error what the runtime still counts as alive.
//
// Main thread. Each returns the process's exit code.
#ifndef CLIENT_APP_COMMANDS_H_
#define CLIENT_APP_COMMANDS_H_

namespace clientapp {

int runWindowCommand(int argc, char **argv);
int runExportCommand(int argc, char **argv);
// Needs no client: it checks an exported folder (ExportVerifier.h).
int runVerifyCommand(int argc, char **argv);

}  // namespace clientapp

#endif  // CLIENT_APP_COMMANDS_H_
