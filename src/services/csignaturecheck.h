#pragma once
// The release signature of an installer: a detached Ed25519 signature (libsodium's
// crypto_sign_detached, 64 bytes) over the installer's bytes exactly as they lie on the
// update server, checked against one public key. The signature lies on the server next
// to the installer, under the installer's name + ".sig" (".../px3_125.deb.sig"), and
// holds the 64 bytes of the signature and nothing else.
//
// Neither the length nor the SHA-256 checksum of the build information proves where an
// installer came from: both come over plain FTP from the same server. Only the signature
// does, since the secret half of the release key never is on that server.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class CSignatureCheck {
public:
    static constexpr size_t KeySize = 32;
    static constexpr size_t SignatureSize = 64;
    using PublicKey = std::array<uint8_t, KeySize>;

    // The public half of the key that signs every installer of this program.
    static const PublicKey ReleaseKey;

    explicit CSignatureCheck(const PublicKey& key = ReleaseKey) : m_key(key) {}

    // True when signature signs the whole file at path under the key. False with
    // GetError when the cryptography library cannot start, the file cannot be read, the
    // signature is not SignatureSize bytes long, or it does not match the file.
    bool VerifyFile(const std::string& path, const std::string& signature);

    const std::string& GetError() const { return m_strError; }

private:
    PublicKey m_key;
    std::string m_strError;
};
