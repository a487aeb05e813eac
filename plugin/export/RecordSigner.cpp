#include "plugin/export/RecordSigner.h"

#include "plugin/export/TemporaryFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtDebug>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace {

template <typename T, void (*Free)(T *)>
struct Freer {
    void operator()(T *object) const { Free(object); }
};
using KeyHolder = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using CertificateHolder = std::unique_ptr<X509, Freer<X509, X509_free>>;
using BioHolder = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using CmsHolder = std::unique_ptr<CMS_ContentInfo, Freer<CMS_ContentInfo, CMS_ContentInfo_free>>;
struct ChainFreer {
    void operator()(STACK_OF(X509) *chain) const { sk_X509_pop_free(chain, X509_free); }
};
using ChainHolder = std::unique_ptr<STACK_OF(X509), ChainFreer>;

// OpenSSL's reason for what just failed, first cause first; the thread's
// error queue is left empty for whoever calls OpenSSL next on it.
QString takeOpensslError()
{
    const unsigned long code = ERR_peek_error();
    ERR_clear_error();
    const char *reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    return reason ? QString::fromLatin1(reason) : QStringLiteral("unknown error");
}

// An encrypted key is never asked a pass phrase for: nobody is there to
// type one while an export ends. Such a key cannot be read.
int noPassphrase(char *, int, int, void *) { return -1; }

// The text of `path` in a memory BIO; null with *why set when it cannot be read.
BioHolder readPem(const QString &path, const char *what, QString *why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("cannot read the %1 %2: %3").arg(QLatin1String(what), path, file.errorString());
        return nullptr;
    }
    const QByteArray text = file.readAll();
    BioHolder bio(BIO_new(BIO_s_mem()));
    if (!bio || BIO_write(bio.get(), text.constData(), int(text.size())) != int(text.size())) {
        *why = QStringLiteral("cannot read the %1 %2: %3").arg(QLatin1String(what), path, takeOpensslError());
        return nullptr;
    }
    return bio;
}

QString subjectOf(X509 *certificate)
{
    BioHolder out(BIO_new(BIO_s_mem()));
    if (!out || X509_NAME_print_ex(out.get(), X509_get_subject_name(certificate), 0,
                                   XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0)
        return QString();
    char *text = nullptr;
    const long size = BIO_get_mem_data(out.get(), &text);
    return QString::fromUtf8(text, qsizetype(size));
}

QByteArray fingerprintOf(X509 *certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(digest), int(size)).toHex();
}

}  // namespace

struct RecordSigner::Identity {
    KeyHolder key;
    CertificateHolder certificate;
    ChainHolder chain;  // may be null
};

RecordSigner::RecordSigner(const QString &folder)
{
    _signature.unsignedWhy = load(folder);
    if (!_signature.unsignedWhy.isEmpty()) {
        _identity.reset();
        return;
    }
    _signature.signer = subjectOf(_identity->certificate.get());
    _signature.certificateSha256 = fingerprintOf(_identity->certificate.get());
}

RecordSigner::~RecordSigner() = default;

QString RecordSigner::identityFolder()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation))
        .filePath(QStringLiteral("export-signing"));
}

QString RecordSigner::load(const QString &folder)
{
    const QDir dir(folder);
    const QString keyPath = dir.filePath(QStringLiteral("key.pem"));
    const QString certificatePath = dir.filePath(QStringLiteral("cert.pem"));
    const QString chainPath = dir.filePath(QStringLiteral("chain.pem"));
    if (!QFileInfo::exists(keyPath) && !QFileInfo::exists(certificatePath))
        return QStringLiteral("no signing identity in %1").arg(folder);

    _identity = std::make_unique<Identity>();
    QString why;
    BioHolder pem = readPem(certificatePath, "signing certificate", &why);
    if (!pem)
        return why;
    _identity->certificate.reset(PEM_read_bio_X509(pem.get(), nullptr, noPassphrase, nullptr));
    if (!_identity->certificate)
        return QStringLiteral("cannot read the signing certificate %1: %2").arg(certificatePath, takeOpensslError());
    pem = readPem(keyPath, "signing key", &why);
    if (!pem)
        return why;
    _identity->key.reset(PEM_read_bio_PrivateKey(pem.get(), nullptr, noPassphrase, nullptr));
    if (!_identity->key)
        return QStringLiteral("cannot read the signing key %1: not an unencrypted private key in PEM (%2)")
            .arg(keyPath, takeOpensslError());
    if (X509_check_private_key(_identity->certificate.get(), _identity->key.get()) != 1) {
        ERR_clear_error();
        return QStringLiteral("the signing key %1 does not belong to the certificate %2").arg(keyPath, certificatePath);
    }
    // A signature by a certificate out of its validity verifies nowhere.
    if (X509_cmp_current_time(X509_get0_notAfter(_identity->certificate.get())) <= 0 ||
        X509_cmp_current_time(X509_get0_notBefore(_identity->certificate.get())) >= 0)
        return QStringLiteral("the signing certificate %1 is not valid now").arg(certificatePath);
    if (QFileInfo::exists(chainPath)) {
        pem = readPem(chainPath, "certificate chain", &why);
        if (!pem)
            return why;
        _identity->chain.reset(sk_X509_new_null());
        while (X509 *next = PEM_read_bio_X509(pem.get(), nullptr, noPassphrase, nullptr))
            sk_X509_push(_identity->chain.get(), next);
        ERR_clear_error();  // the end of the text
        if (sk_X509_num(_identity->chain.get()) == 0)
            return QStringLiteral("cannot read the certificate chain %1: it holds no certificate").arg(chainPath);
    }
    return QString();
}

void RecordSigner::sign(ExportRecord &record)
{
    if (!_identity || record.path().isEmpty() || record.written().isEmpty())
        return;
    const QString why = write(record.path() + QLatin1String(ExportRecord::kSignatureSuffix), record.written());
    if (why.isEmpty())
        return;
    qWarning() << "RecordSigner:" << why;
    _signature = ExportRecord::Signature{QString(), QByteArray(), why};
    record.setSignature(_signature);
}

QString RecordSigner::write(const QString &path, const QByteArray &bytes) const
{
    // Built in parts, so that an RSA key signs with PSS padding (the salt as
    // long as the digest), as the signature formats of evidence ask.
    EVP_PKEY *key = _identity->key.get();
    const bool rsa = EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA;
    const CmsHolder cms(CMS_sign(nullptr, nullptr, _identity->chain.get(), nullptr,
                                 CMS_PARTIAL | CMS_DETACHED | CMS_BINARY));
    CMS_SignerInfo *signer = cms ? CMS_add1_signer(cms.get(), _identity->certificate.get(), key, EVP_sha256(),
                                                   CMS_BINARY | CMS_NOSMIMECAP | (rsa ? CMS_KEY_PARAM : 0))
                                 : nullptr;
    EVP_PKEY_CTX *context = signer && rsa ? CMS_SignerInfo_get0_pkey_ctx(signer) : nullptr;
    const BioHolder content(BIO_new_mem_buf(bytes.constData(), int(bytes.size())));
    if (!signer || (rsa && (!context || EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PSS_PADDING) <= 0 ||
                            EVP_PKEY_CTX_set_rsa_pss_saltlen(context, RSA_PSS_SALTLEN_DIGEST) <= 0)) ||
        !content || CMS_final(cms.get(), content.get(), nullptr, CMS_DETACHED | CMS_BINARY) != 1)
        return QStringLiteral("cannot sign the record: %1").arg(takeOpensslError());
    const int size = i2d_CMS_ContentInfo(cms.get(), nullptr);
    QByteArray der(std::max(size, 0), Qt::Uninitialized);
    auto *out = reinterpret_cast<unsigned char *>(der.data());
    if (size <= 0 || i2d_CMS_ContentInfo(cms.get(), &out) != size)
        return QStringLiteral("cannot encode the signature: %1").arg(takeOpensslError());

    // As the checksum files: a name of its own, flushed, then moved into
    // place without replacing anything.
    bool taken = false;
    QString error;
    if (TemporaryFile::publishNew(path, TemporaryFile::kSignatureSuffix, der, &taken, &error))
        return QString();
    return taken ? error : QStringLiteral("cannot write the signature %1: %2").arg(path, error);
}
