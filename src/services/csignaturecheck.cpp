#include "services/csignaturecheck.h"

#include <sodium.h>

#include <QFile>

// Generated for this program with crypto_sign_keypair; the secret half is kept off every
// server and signs the release builds.
const CSignatureCheck::PublicKey CSignatureCheck::ReleaseKey = {
    0x7d, 0xcf, 0xd2, 0xde, 0xe9, 0x09, 0x82, 0x34, 0x0e, 0x4a, 0xa4, 0xbe, 0x1c, 0x74, 0x66, 0xa2,
    0xa8, 0x00, 0x48, 0xe7, 0x96, 0xb5, 0x59, 0xf4, 0xbb, 0x98, 0xb8, 0x34, 0xe2, 0x17, 0x6c, 0xdc,
};

static_assert(CSignatureCheck::KeySize == crypto_sign_PUBLICKEYBYTES);
static_assert(CSignatureCheck::SignatureSize == crypto_sign_BYTES);

bool CSignatureCheck::VerifyFile(const std::string& path, const std::string& signature)
{
    m_strError.clear();
    // sodium_init may be called from any thread, any number of times: 1 after the first.
    if (sodium_init() < 0) {
        m_strError = "The signature of the installer cannot be checked: the cryptography library does not start";
        return false;
    }
    if (signature.size() != SignatureSize) {
        m_strError = "The signature of the installer is damaged (" + std::to_string(signature.size()) + " bytes, not " +
                     std::to_string(SignatureSize) + ")";
        return false;
    }
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        m_strError = "The installer cannot be read to check its signature: " + path + " (" +
                     file.errorString().toStdString() + ")";
        return false;
    }
    // Ed25519 hashes the whole message at once: the file is mapped rather than copied.
    const qint64 size = file.size();
    const uchar* bytes = size > 0 ? file.map(0, size) : nullptr;
    if (size > 0 && !bytes) {
        m_strError = "The installer cannot be read to check its signature: " + path + " (" +
                     file.errorString().toStdString() + ")";
        return false;
    }
    static const unsigned char empty = 0;
    const int verified = crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.data()),
                                                     bytes ? bytes : &empty, static_cast<unsigned long long>(size),
                                                     m_key.data());
    if (verified != 0) {
        m_strError = "The installer is not signed by Tolvex Media: its signature does not match";
        return false;
    }
    return true;
}
