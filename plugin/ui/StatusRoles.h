// The values behind each row of the export dialog's status list, for
// programs that follow an export (the stand-in client's scripted export)
// rather than read the texts the list shows. Every cell of a row answers
// every one of these roles with the row's value; the single "no data" cell
// answers only State.
//
// Only constants: usable without linking the plug-in.
#ifndef PLUGIN_UI_STATUSROLES_H_
#define PLUGIN_UI_STATUSROLES_H_

#include <QtCore/qnamespace.h>

namespace statusrole {

enum Role : int {
    From = Qt::UserRole + 1,  // qlonglong: ms since the Unix epoch of the file's first block, -1 = none
    To,                       // qlonglong: ms of its last block, -1 while the file is open or for a failed row
    Progress,                 // double: last reported fraction of the export, 0.0 to 1.0
    ErrorCode,                // uint: the error's code, 0 = none
    State,                    // int: a RowState
    FileName,                 // QString: the closed file's name in the target folder; empty = not known
    SizeBytes,                // qlonglong: its size; -1 = not known
    Sha256,                   // QString: its checksum in hex; empty = none
    Reason,                   // QString: why the row failed, in the system's words; empty = not known
};

enum RowState : int {
    Writing = 0,   // the file is being written; Progress tells how far the export is
    Complete = 1,  // the file was closed without error
    Failed = 2,    // the export reported an error on this row (ErrorCode), or its file is incomplete
    NoData = 3,    // the export ended without a file: the single "no data" cell
};

}  // namespace statusrole

#endif  // PLUGIN_UI_STATUSROLES_H_
