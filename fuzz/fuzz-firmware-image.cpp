// Arbitrary payloads, masked and signed with the development key, then opened:
// the signature passes, so the format check, the record walk and the text
// extraction see the fuzzer's bytes.
//
// Input: byte 0 picks the identifier asked for (revision 1, revision 2, the
// payload's first record, or none); the rest is the unmasked payload.

#include "device/compat-ids.h"
#include "firmware/firmware.h"

#include <sodium.h>

#include <cstdint>
#include <memory>

namespace {

const unsigned char developmentSeed[32] = {
    0x14, 0x2f, 0x50, 0x53, 0xb0, 0xb7, 0x77, 0xc5, 0x37, 0x71, 0x87, 0x62, 0xb4, 0x52, 0xc2, 0x2a,
    0xf5, 0xc4, 0xd8, 0x2b, 0x59, 0x5c, 0x3c, 0x47, 0x0d, 0x31, 0x0a, 0x0d, 0x87, 0x43, 0x82, 0xbc,
};
unsigned char secretKey[crypto_sign_SECRETKEYBYTES];

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    if (sodium_init() < 0)
        abort();
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    crypto_sign_seed_keypair(publicKey, secretKey, developmentSeed);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    QByteArray payload(reinterpret_cast<const char *>(data + 1), int(size - 1));
    QByteArray compatId;
    switch (data[0] % 4) {
    case 0:
        compatId = compatIdBytes(uuid_compat_stm32g071kb_r1);
        break;
    case 1:
        compatId = compatIdBytes(uuid_compat_stm32g070kb_r2);
        break;
    case 2:
        compatId = payload.mid(128, 16);
        break;
    default:
        break;
    }
    maskFirmwarePayload(payload);
    QByteArray file(int(crypto_sign_BYTES) + payload.size(), '\0');
    unsigned long long length = 0;
    crypto_sign(reinterpret_cast<unsigned char *>(file.data()), &length,
                reinterpret_cast<const unsigned char *>(payload.constData()), (unsigned long long)payload.size(),
                secretKey);

    const std::unique_ptr<Firmware> image(Firmware::fromFileData(file, compatId));
    if (image->valid()) {
        // Touch everything a caller would.
        volatile int sink =
            image->blob().size() + image->version().size() + image->vendor().size() + image->model().size();
        (void)sink;
    }
    return 0;
}
