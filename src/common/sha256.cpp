#include "common/sha256.h"
#include <openssl/evp.h>

struct Sha256::Ctx {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~Ctx() { EVP_MD_CTX_free(ctx); }
};

namespace {
// Fetched once: EVP_sha256() makes libcrypto look the algorithm up again at
// every start of a digest, and every send starts one.
const EVP_MD* Algorithm() {
    static const EVP_MD* const fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched ? fetched : EVP_sha256();
}
}  // namespace

Sha256::Sha256() : d_(std::make_unique<Ctx>()) { EVP_DigestInit_ex(d_->ctx, Algorithm(), nullptr); }

Sha256::~Sha256() = default;

void Sha256::add(QByteArrayView bytes) {
    if (!bytes.isEmpty()) EVP_DigestUpdate(d_->ctx, bytes.data(), size_t(bytes.size()));
}

QByteArray Sha256::hex() const {
    // Finished on a copy, so that the running one goes on.
    EVP_MD_CTX* copy = EVP_MD_CTX_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    const bool ok = copy && EVP_MD_CTX_copy_ex(copy, d_->ctx) && EVP_DigestFinal_ex(copy, digest, &n);
    EVP_MD_CTX_free(copy);
    return ok ? QByteArray(reinterpret_cast<const char*>(digest), int(n)).toHex() : QByteArray();
}
