#pragma once

// Builds firmware image files straight from the format description, apart from
// the program's own code: payload, masking with the development mask, signature
// with the development seed.

#include <QByteArray>
#include <QString>
#include <QtEndian>

#include <sodium.h>

namespace ImageBuilder {

inline const QByteArray format1 = QByteArray::fromHex("835e640acba14f949fbb907dfe1680de");
inline const QByteArray format2 = QByteArray::fromHex("f084318df2f54163bc5c366f686277fb");
inline const QByteArray revision1 = QByteArray::fromHex("3cc3a93f426145ff95bf653df2686cb0");
inline const QByteArray revision2 = QByteArray::fromHex("21de3ef209bf4a7883a09eb750df2e57");
inline const QByteArray developmentSeed =
    QByteArray::fromHex("142f5053b0b777c537718762b452c22af5c4d82b595c3c470d310a0d874382bc");
inline const QByteArray developmentMask =
    QByteArray::fromHex("b6f20008fdb7c17d7541a626c8924eb823283db301130e9c78277dffbba9a397");

inline QByteArray text32(const QByteArray &text)
{
    return text + QByteArray(32 - text.size(), '\0');
}

inline QByteArray le32(quint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    return QByteArray(bytes, 4);
}

// The 128-byte head of a payload.
inline QByteArray head(const QByteArray &formatId = format2, const QByteArray &version = "1.6",
                       const QByteArray &vendor = "NORDA", const QByteArray &model = "VKRHX350")
{
    return formatId + QByteArray(16, '\x5a') + text32(version) + text32(vendor) + text32(model);
}

// A record whose blob follows its 28-byte header after `gap` uninterpreted bytes.
inline QByteArray record(const QByteArray &id, const QByteArray &blob, int gap = 4, int areaPadding = 0)
{
    const quint32 blobOffset = quint32(28 + gap);
    return id + le32(blobOffset) + le32(quint32(blob.size())) + le32(quint32(blob.size() + areaPadding))
           + QByteArray(gap, '\xee') + blob + QByteArray(areaPadding, '\0');
}

inline QByteArray sign(const QByteArray &payload, const QByteArray &seed = developmentSeed)
{
    QByteArray masked = payload;
    for (int i = 0; i < masked.size(); ++i)
        masked[i] = char(uchar(masked[i]) ^ uchar(developmentMask[i % 32]) ^ uchar(i % 256));
    unsigned char pk[crypto_sign_PUBLICKEYBYTES];
    unsigned char sk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(pk, sk, reinterpret_cast<const unsigned char *>(seed.constData()));
    QByteArray file(int(crypto_sign_BYTES) + masked.size(), '\0');
    unsigned long long length = 0;
    crypto_sign(reinterpret_cast<unsigned char *>(file.data()), &length,
                reinterpret_cast<const unsigned char *>(masked.constData()), (unsigned long long)masked.size(), sk);
    return file;
}

} // namespace ImageBuilder
