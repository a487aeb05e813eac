// Ctrl-C and SIGTERM as a request to stop: the commands poll it between
// blocks and fail with "interrupted", so that the new archive folder is
// removed like after any other failure instead of being left half-made.
// Installed once by main; polled from the main thread.
#ifndef CLIENT_TOOLS_INTERRUPTION_H_
#define CLIENT_TOOLS_INTERRUPTION_H_

namespace tools {

void catchInterruption();
bool interrupted();

}  // namespace tools

#endif  // CLIENT_TOOLS_INTERRUPTION_H_
