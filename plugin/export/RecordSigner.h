// RecordSigner: the signature that proves which system made an export.
//
// The signing identity is a private key and its certificate in PEM,
// "key.pem" and "cert.pem", and optionally the certificates between it and
// the site's authority, "chain.pem", in the folder "export-signing" of the
// client application's configuration folder. The client's settings offer
// nothing for it, so the folder is read here.
//
// When the export ends, its record is signed: a detached CMS signature over
// the record's exact bytes (SHA-256; RSA-PSS for an RSA key; the signer's
// certificate, the chain and the signing time inside), in DER, beside it as
// "<record>.p7s", which `openssl cms -verify` checks. The record lists every
// file with its SHA-256, so the signature covers the files as well.
//
// A signature cannot be inside the bytes it signs: the record says from its
// first write who will sign it (ExportRecord::Signature), or why it will not
// be signed. No identity, or one that cannot be read, never stops an export.
//
// Made, used and destroyed on one thread (the export's worker thread).
#ifndef PLUGIN_EXPORT_RECORDSIGNER_H_
#define PLUGIN_EXPORT_RECORDSIGNER_H_

#include "plugin/export/ExportRecord.h"

#include <QString>
#include <memory>

class RecordSigner {
public:
    // Reads the identity in `folder`; without one, or with one that cannot
    // be used, signature() says why no signature will be made.
    explicit RecordSigner(const QString &folder = identityFolder());
    ~RecordSigner();
    RecordSigner(const RecordSigner &) = delete;
    RecordSigner &operator=(const RecordSigner &) = delete;

    // "export-signing" in the client application's configuration folder.
    static QString identityFolder();

    // What the record says of its signature.
    const ExportRecord::Signature &signature() const { return _signature; }

    // Signs the ended record's bytes into "<record>.p7s", never replacing a
    // file. When no signature can be written the record is rewritten to
    // say why (and so is signature()). Nothing happens without an identity.
    void sign(ExportRecord &record);

private:
    struct Identity;
    // Why the identity in `folder` cannot be used; empty when it can.
    QString load(const QString &folder);
    // Why `bytes` could not be signed into `path`; empty when they were.
    QString write(const QString &path, const QByteArray &bytes) const;

    std::unique_ptr<Identity> _identity;  // null without a usable identity
    ExportRecord::Signature _signature;
};

#endif  // PLUGIN_EXPORT_RECORDSIGNER_H_
