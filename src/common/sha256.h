#pragma once
// A running SHA-256 on libcrypto: it uses the processor's SHA instructions,
// where Qt 6.4's own implementation hashes about 60 MB/s, slower than the
// link it would follow.
#include <QByteArray>
#include <QByteArrayView>
#include <memory>

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void add(QByteArrayView bytes);
    // Of everything added so far, in lower-case hex; adding may go on.
    QByteArray hex() const;

private:
    struct Ctx;
    std::unique_ptr<Ctx> d_;
};
