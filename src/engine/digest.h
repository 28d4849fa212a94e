#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <memory>

struct evp_md_ctx_st;
struct evp_md_st;

// A running MD5, SHA-1 or SHA-256 digest, computed by OpenSSL's libcrypto: it uses the CPU's hash
// instructions where there are any, which makes SHA-1 about three times faster than portable
// code. Each accumulator is used by one thread at a time.
class Digest
{
public:
    enum Algorithm
    {
        Md5,
        Sha1,
        Sha256,
    };

    explicit Digest(Algorithm algorithm);
    ~Digest();
    Digest(const Digest &) = delete;
    Digest &operator=(const Digest &) = delete;

    // Starts over with empty input.
    void reset();
    void addData(QByteArrayView data);
    // The digest of everything added since the last reset, which may go on growing afterwards.
    // Empty when libcrypto refused the algorithm (a system that allows FIPS algorithms only).
    QByteArray result() const;

private:
    struct ContextFree
    {
        void operator()(evp_md_ctx_st *context) const;
    };
    using Context = std::unique_ptr<evp_md_ctx_st, ContextFree>;

    const evp_md_st *const type;
    Context context;
    // False once libcrypto failed a step: the digest is lost until the next reset.
    bool usable = false;
};
