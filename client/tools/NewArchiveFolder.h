// The folder a command records a new archive into. It refuses a folder that
// already holds something and, once the archive is begun and unless the run
// is committed, removes on destruction what this run made: the folder itself
// together with any parent folders that were missing, or only its content
// when it existed empty. Nothing that existed before the run is removed.
//
// Main thread; destroy the archive's recorder before this object.
#ifndef CLIENT_TOOLS_NEWARCHIVEFOLDER_H_
#define CLIENT_TOOLS_NEWARCHIVEFOLDER_H_

#include "client/archive/Recorder.h"
#include "client/tools/Outcome.h"

#include <QString>
#include <memory>

namespace tools {

class NewArchiveFolder {
public:
    explicit NewArchiveFolder(const QString &dir);
    ~NewArchiveFolder();
    NewArchiveFolder(const NewArchiveFolder &) = delete;
    NewArchiveFolder &operator=(const NewArchiveFolder &) = delete;

    // Refused when the path is a file or a folder that is not empty.
    Outcome check() const;
    // Starts the archive; null with *outcome set on failure.
    std::unique_ptr<archive::Recorder> createRecorder(Outcome *outcome);
    // The run succeeded: keep everything.
    void commit() { _committed = true; }

private:
    QString _shownDir;  // as the user gave it, for messages
    QString _dir;
    bool _existed;
    // The outermost folder of the path that did not exist before the run.
    QString _outermostMissing;
    bool _begun = false;  // from the recorder's creation on, the folder holds this run's work
    bool _committed = false;
};

}  // namespace tools

#endif  // CLIENT_TOOLS_NEWARCHIVEFOLDER_H_
