// `velt-client verify FOLDER [--ca FILE]`: what the recipient of an export
// runs to learn whether it is complete, unchanged and from whom. For every
// export record in the folder: its signature ("<record>.p7s", against the
// authority's certificates in --ca, or naming the certificate that signed
// it), every file it lists (size and SHA-256) and their ".sha256" files;
// then every .mkv, .sha256 or .p7s in the folder that no record accounts
// for. One line per file, the signer of each record, and a verdict.
//
// Needs neither the plug-in nor a screen. Main thread.
#ifndef CLIENT_APP_EXPORTVERIFIER_H_
#define CLIENT_APP_EXPORTVERIFIER_H_

#include <QString>

class QTextStream;

namespace clientapp {

// Exit codes of `velt-client verify` (2 is the commands' "bad arguments").
enum VerifyCode {
    kSignedAndIntact = 0,   // every record signed (and trusted, with --ca), every file as listed
    kIntactUnsigned = 1,    // every file as listed, but a record is unsigned
    kChangedOrMissing = 3,  // a file changed, missing or in no record, or a signature that fails
};

// Prints the lines and the verdict to `out`; returns one of the codes above,
// or -1 with *error set when `caFile` cannot be read.
int verifyExport(const QString &folder, const QString &caFile, QTextStream &out, QString *error);

}  // namespace clientapp

#endif  // CLIENT_APP_EXPORTVERIFIER_H_
