#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// Masking table of the image payload: payload byte i is stored as
// plain ^ vkr_firmware_mask[i % 32] ^ (i % 256). A constant of the image format.
extern const unsigned char vkr_firmware_mask[32];
// Descriptor identifiers of the image formats: version 1 is recognised and
// refused, version 2 is the one this program reads.
extern const unsigned char fw_descriptor_uuid1[16];
extern const unsigned char fw_descriptor_uuid2[16];

// The Ed25519 public key that image signatures are verified with.
const unsigned char *vkr_firmware_public_key();

// Applies (or removes: the operation is its own inverse) the payload masking.
void maskFirmwarePayload(QByteArray &payload);

// One image record: the build for one hardware revision.
// Largest image file read: room for a build of the instrument's 128 KiB flash
// for each of eight board revisions, far below what the upgrade's six hex digits
// of offset can address.
inline constexpr qint64 MaxFirmwareImageBytes = 1024 * 1024;

struct FirmwareRecord {
    qint64 start = 0; // offset of the record in the payload
    QByteArray compatId;
    quint32 blobOffset = 0;
    quint32 blobSize = 0;
    quint32 blobAreaSize = 0;
};

// Verifies the signature of an image file with the built-in public key and
// returns its unmasked payload; false for a file that does not verify.
bool openFirmwarePayload(const QByteArray &fileData, QByteArray *payload);

// The records of an unmasked format-2 payload, in order. The walk takes its
// lengths from the payload, so it stops, without reading outside it, at a record
// whose header does not fit or whose step is zero or does not fit 32 bits.
QVector<FirmwareRecord> firmwareRecords(const QByteArray &payload);

// Layout of the unmasked payload.
namespace FirmwareLayout {
inline constexpr int FormatIdOffset = 0;
inline constexpr int VersionOffset = 32;
inline constexpr int VendorOffset = 64;
inline constexpr int ModelOffset = 96;
inline constexpr int TextSize = 32;
inline constexpr int RecordsOffset = 128;
inline constexpr int RecordHeaderSize = 28;
inline constexpr int SignatureSize = 64;
} // namespace FirmwareLayout

// A signed firmware image file, opened for one instrument: the build that fits
// its compatibility identifier and the release texts.
class Firmware
{
public:
    virtual ~Firmware();
    virtual bool valid() const = 0;
    virtual QString vendor() const = 0;
    virtual QString model() const = 0;
    virtual QString version() const = 0;
    virtual QByteArray blob() const = 0;

    // Never null; every failure shows as valid() == false. The caller owns it.
    static Firmware *fromFileData(const QByteArray &fileData, const QByteArray &compatId);
};

class FirmwareImpl : public Firmware
{
public:
    FirmwareImpl(const QByteArray &fileData, const QByteArray &compatId);

    bool valid() const override { return m_valid; }
    QString vendor() const override { return m_vendor; }
    QString model() const override { return m_model; }
    QString version() const override { return m_version; }
    QByteArray blob() const override { return m_blob; }

private:
    QString m_vendor;
    QString m_model;
    QString m_version;
    QByteArray m_blob;
    bool m_valid = false;
    QByteArray m_compatId;
};
