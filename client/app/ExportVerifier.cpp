#include "client/app/ExportVerifier.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTextStream>
#include <memory>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

namespace clientapp {

namespace {

template <typename T, void (*Free)(T *)>
struct Freer {
    void operator()(T *object) const { Free(object); }
};
using StoreHolder = std::unique_ptr<X509_STORE, Freer<X509_STORE, X509_STORE_free>>;
using CmsHolder = std::unique_ptr<CMS_ContentInfo, Freer<CMS_ContentInfo, CMS_ContentInfo_free>>;
using BioHolder = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;

// The record's signature beside it, as the plug-in names it.
const QLatin1String kSignatureSuffix(".p7s");
const QLatin1String kChecksumSuffix(".sha256");

// Every reason OpenSSL gave for what just failed, with the detail it
// attached (such as the certificate check's "unable to get local issuer
// certificate"); the error queue is left empty.
QString takeOpensslError()
{
    QStringList parts;
    const char *data = nullptr;
    int flags = 0;
    for (unsigned long code; (code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) != 0;) {
        if (const char *reason = ERR_reason_error_string(code))
            parts << QString::fromLatin1(reason);
        if (data && *data && (flags & ERR_TXT_STRING))
            parts << QString::fromUtf8(data);
    }
    parts.removeDuplicates();
    return parts.isEmpty() ? QStringLiteral("unknown error") : parts.join(QStringLiteral(": "));
}

QByteArray readAll(const QString &path, bool *ok = nullptr)
{
    QFile file(path);
    const bool opened = file.open(QIODevice::ReadOnly);
    if (ok)
        *ok = opened;
    return opened ? file.readAll() : QByteArray();
}

QByteArray sha256Of(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QByteArray();
    return hash.result().toHex();
}

struct SignatureCheck {
    enum State { Valid, Untrusted, Broken } state = Broken;
    QString signer;          // subject of the certificate that signed, if found
    QByteArray fingerprint;  // SHA-256 of that certificate, hex
    QString detail;          // why it is not valid
};

// The certificate carried for the one signer of `cms`, not yet checked.
X509 *signerOf(CMS_ContentInfo *cms)
{
    STACK_OF(CMS_SignerInfo) *infos = CMS_get0_SignerInfos(cms);
    if (!infos || sk_CMS_SignerInfo_num(infos) != 1 || CMS_set1_signers_certs(cms, nullptr, 0) < 0)
        return nullptr;
    X509 *certificate = nullptr;
    CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(infos, 0), nullptr, &certificate, nullptr, nullptr);
    return certificate;
}

// Checks the detached signature `der` over `content`: first that it matches
// the content (signed by the key of the certificate it carries), then, with
// a store, that the certificate leads to one of the store's authorities.
SignatureCheck verifySignature(const QByteArray &der, const QByteArray &content, X509_STORE *store)
{
    SignatureCheck check;
    const auto *in = reinterpret_cast<const unsigned char *>(der.constData());
    const CmsHolder cms(d2i_CMS_ContentInfo(nullptr, &in, long(der.size())));
    X509 *certificate = cms ? signerOf(cms.get()) : nullptr;
    if (!certificate) {
        check.detail = QStringLiteral("not a signature of one signer: %1").arg(takeOpensslError());
        return check;
    }
    if (const BioHolder out{BIO_new(BIO_s_mem())};
        out && X509_NAME_print_ex(out.get(), X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) >= 0) {
        char *text = nullptr;
        const long size = BIO_get_mem_data(out.get(), &text);
        check.signer = QString::fromUtf8(text, qsizetype(size));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &digestSize) == 1)
        check.fingerprint = QByteArray(reinterpret_cast<const char *>(digest), int(digestSize)).toHex();
    const auto verify = [&](X509_STORE *authorities, unsigned int flags) {
        const BioHolder data(BIO_new_mem_buf(content.constData(), int(content.size())));
        return data && CMS_verify(cms.get(), nullptr, authorities, data.get(), nullptr, CMS_BINARY | flags) == 1;
    };
    if (!verify(nullptr, CMS_NO_SIGNER_CERT_VERIFY)) {
        check.detail = QStringLiteral("the signature does not match it: %1").arg(takeOpensslError());
        return check;
    }
    if (store && !verify(store, 0)) {
        check.state = SignatureCheck::Untrusted;
        check.detail = takeOpensslError();
        return check;
    }
    check.state = SignatureCheck::Valid;
    return check;
}

class Verifier {
public:
    Verifier(const QString &folder, X509_STORE *store, const QString &caFile, QTextStream &out)
        : _folder(folder), _store(store), _caName(QFileInfo(caFile).fileName()), _out(out)
    {
    }

    void checkRecord(const QString &name);
    // The files of the export's kinds that no record accounts for.
    void checkUnaccounted();
    int verdict();
    // A problem: a file changed or missing, a signature that fails.
    void problem(const char *word, const QString &name, const QString &detail = QString())
    {
        line(word, name, detail);
        ++_problems;
    }

private:
    void line(const char *word, const QString &name, const QString &detail = QString())
    {
        _out << QString::fromLatin1(word).leftJustified(18) << ' ' << name;
        if (!detail.isEmpty())
            _out << "  (" << detail << ')';
        _out << '\n';
    }
    void checkSignature(const QString &name, const QByteArray &bytes, const QJsonObject &claim);
    void checkFile(const QJsonObject &entry);

    const QDir _folder;
    X509_STORE *const _store;
    const QString _caName;
    QTextStream &_out;
    QSet<QString> _accounted;  // names the records account for
    int _problems = 0;
    int _unsigned = 0;
};

void Verifier::checkRecord(const QString &name)
{
    _out << "record " << name << '\n';
    _accounted.insert(name);
    const QByteArray bytes = readAll(_folder.filePath(name));
    const QJsonObject record = QJsonDocument::fromJson(bytes).object();
    checkSignature(name, bytes, record.value(QStringLiteral("signature")).toObject());
    if (!record.contains(QStringLiteral("files"))) {
        problem("changed", name, QStringLiteral("not an export record"));
        return;
    }
    for (const QJsonValue &entry : record.value(QStringLiteral("files")).toArray())
        checkFile(entry.toObject());
}

void Verifier::checkSignature(const QString &name, const QByteArray &bytes, const QJsonObject &claim)
{
    const QString signatureName = name + kSignatureSuffix;
    bool present = false;
    const QByteArray der = readAll(_folder.filePath(signatureName), &present);
    if (!present) {
        // Without a signature nothing proves the record, which may say it
        // was meant to be signed.
        if (claim.value(QStringLiteral("signed")).toBool()) {
            problem("missing", signatureName, QStringLiteral("the record says it is signed"));
        } else {
            line("unsigned", name, claim.value(QStringLiteral("why")).toString());
            ++_unsigned;
        }
        _out << "signer: none\n";
        return;
    }
    _accounted.insert(signatureName);
    const SignatureCheck check = verifySignature(der, bytes, _store);
    const QString trust = _store ? QStringLiteral("trusted through %1").arg(_caName)
                                 : QStringLiteral("not checked against an authority: give --ca");
    if (check.state == SignatureCheck::Broken)
        problem("changed", name, check.detail);
    else if (check.state == SignatureCheck::Untrusted)
        problem("untrusted", name, QStringLiteral("%1 does not vouch for the signer: %2").arg(_caName, check.detail));
    else if (claim.value(QStringLiteral("certificateSha256")).toString().toLatin1() != check.fingerprint)
        problem("changed", name, QStringLiteral("signed with another certificate than the one it names"));
    else
        line("ok", name, QStringLiteral("signature valid, %1").arg(trust));
    _out << "signer: " << (check.signer.isEmpty() ? QStringLiteral("unknown") : check.signer);
    if (!check.fingerprint.isEmpty())
        _out << ", certificate sha256 " << check.fingerprint;
    _out << '\n';
}

void Verifier::checkFile(const QJsonObject &entry)
{
    const QString name = entry.value(QStringLiteral("name")).toString();
    const QString path = _folder.filePath(name);
    const QString sha256 = entry.value(QStringLiteral("sha256")).toString();
    _accounted.insert(name);
    const QFileInfo info(path);
    const qint64 listedBytes = qint64(entry.value(QStringLiteral("sizeBytes")).toDouble());
    if (!info.isFile())
        problem("missing", name);
    else if (info.size() != listedBytes)
        problem("changed", name, QStringLiteral("%1 bytes, the record says %2").arg(info.size()).arg(listedBytes));
    else if (!sha256.isEmpty() && sha256Of(path) != sha256.toLatin1())
        problem("changed", name, QStringLiteral("its SHA-256 is not the record's"));
    else
        line("ok", name, sha256.isEmpty() ? QStringLiteral("size only: the export could not finish it") : QString());
    if (sha256.isEmpty())
        return;
    // The checksum file as the plug-in writes it, which `sha256sum -c` reads.
    const QString checksumName = name + kChecksumSuffix;
    _accounted.insert(checksumName);
    bool present = false;
    const QByteArray checksum = readAll(_folder.filePath(checksumName), &present);
    if (!present)
        problem("missing", checksumName);
    else if (checksum != sha256.toLatin1() + "  " + name.toUtf8() + '\n')
        problem("changed", checksumName, QStringLiteral("not the record's checksum line"));
    else
        line("ok", checksumName);
}

void Verifier::checkUnaccounted()
{
    const QStringList kinds = {QStringLiteral("*.mkv"), QStringLiteral("*") + kChecksumSuffix,
                               QStringLiteral("*") + kSignatureSuffix};
    for (const QString &name : _folder.entryList(kinds, QDir::Files, QDir::Name)) {
        if (!_accounted.contains(name))
            problem("not in any record", name);
    }
}

int Verifier::verdict()
{
    if (_problems > 0) {
        _out << "verdict: NOT CONFIRMED: " << _problems << " problem(s) above\n";
        return kChangedOrMissing;
    }
    if (_unsigned > 0) {
        _out << "verdict: intact but unsigned: every file is as its record lists it, but nothing proves which "
                "system made the record\n";
        return kIntactUnsigned;
    }
    _out << "verdict: signed and intact"
         << (_store ? QString() : QStringLiteral(" (whether the signer is yours is for you to judge: give --ca)"))
         << '\n';
    return kSignedAndIntact;
}

}  // namespace

int verifyExport(const QString &folder, const QString &caFile, QTextStream &out, QString *error)
{
    StoreHolder store;
    if (!caFile.isEmpty()) {
        store.reset(X509_STORE_new());
        if (!store || X509_STORE_load_file(store.get(), QFile::encodeName(caFile).constData()) != 1) {
            *error = QStringLiteral("cannot read the certificates in %1: %2").arg(caFile, takeOpensslError());
            return -1;
        }
    }
    Verifier verifier(folder, store.get(), caFile, out);
    const QStringList records =
        QDir(folder).entryList({QStringLiteral("export-*.json")}, QDir::Files, QDir::Name);
    // No record at all proves nothing.
    if (records.isEmpty())
        verifier.problem("missing", QStringLiteral("export-*.json"), QStringLiteral("no export record in the folder"));
    for (const QString &record : records)
        verifier.checkRecord(record);
    verifier.checkUnaccounted();
    return verifier.verdict();
}

}  // namespace clientapp
