#include "engine/digest.h"

#include <openssl/evp.h>

void Digest::ContextFree::operator()(EVP_MD_CTX *context) const
{
    EVP_MD_CTX_free(context);
}

Digest::Digest(Algorithm algorithm)
    : type(algorithm == Md5    ? EVP_md5()
           : algorithm == Sha1 ? EVP_sha1()
                               : EVP_sha256()),
      context(EVP_MD_CTX_new())
{
    reset();
}

Digest::~Digest() = default;

void Digest::reset()
{
    usable = context && EVP_DigestInit_ex(context.get(), type, nullptr) == 1;
}

void Digest::addData(QByteArrayView data)
{
    if (usable)
        usable = EVP_DigestUpdate(context.get(), data.data(), size_t(data.size())) == 1;
}

QByteArray Digest::result() const
{
    // Finishing ends a digest: a copy is finished so that the running one can go on.
    const Context copy(EVP_MD_CTX_new());
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int length = 0;
    if (!usable || !copy || EVP_MD_CTX_copy_ex(copy.get(), context.get()) != 1 ||
        EVP_DigestFinal_ex(copy.get(), reinterpret_cast<unsigned char *>(digest.data()), &length) !=
            1) {
        return {};
    }
    digest.truncate(length);
    return digest;
}
