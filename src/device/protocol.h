#pragma once

// The wire vocabulary between the tool and the instrument, in one place.
// Commands end in a line feed (never a carriage return); numbers are formatted
// printf-style with a full stop as decimal point (QString::asprintf).
// Replies are recognised by their beginning, case-sensitively, in the order
// that Device::serialParseLine tests them.

#include <QtGlobal>

namespace Protocol {

// --- Commands -------------------------------------------------------------

// 0x03 and a line feed clear whatever the instrument had half-received, then
// the lower-case identification query follows: 03 0A 2A 69 64 6E 3F 0A.
inline constexpr char OpeningSequence[] = "\x03\n*idn?\n";
inline constexpr char IdentifyQuery[] = "*IDN?\n";
// Sent without a line feed while the instrument announces its bootstrap:
// it keeps the instrument in its management firmware.
inline constexpr char BootstrapBreak[] = "\x03";
inline constexpr char CompatQuery[] = "@00\n";
inline constexpr char SystemReset[] = ":system:reset\n";

inline constexpr char VoltRawQuery[] = ":volt:raw?\n";
inline constexpr char VoltUncalibratedQuery[] = ":volt:unc?\n";
inline constexpr char VoltCalibratedQuery[] = ":volt:cor?\n";
inline constexpr char AdcCalibrationFormat[] = ":volt:cal %08x %08x\n";

inline constexpr char CalibrationErase[] = ":cal:erase\n";
// A write command: the offset of the chunk through printf in the prefix, then
// the chunk as lower-case hexadecimal (two digits a byte), then a line feed.
struct WriteCommand {
    const char *prefixFormat;
    int chunkSize; // payload bytes a command carries
};
inline constexpr WriteCommand CalibrationWrite = {":cal:write %04x ", 48};

// Firmware command sets: the first column up to 1.3.x, the second from 1.4.0.0.
inline constexpr char FlashEraseLegacy[] = "flash erase\n";
inline constexpr char FlashErase[] = "@02\n";
inline constexpr WriteCommand FlashWriteLegacy = {"flash write %06x ", 112};
inline constexpr WriteCommand FlashWrite = {"@03 %06x ", 112};
inline constexpr char Boot[] = "boot\n";

inline constexpr char SensorCommandFormat[] = ":cal %s\n";
inline constexpr char Relay1TemperatureFormat[] = ":relay1:temp %5.3lf\n";
inline constexpr char Relay2TemperatureFormat[] = ":relay2:temp %5.3lf\n";
inline constexpr char Relay1HysteresisFormat[] = ":relay1:hyst %5.3lf\n";
inline constexpr char Relay2HysteresisFormat[] = ":relay2:hyst %5.3lf\n";
inline constexpr char Relay1DefaultFormat[] = ":relay1:default %d\n";
inline constexpr char Relay2DefaultFormat[] = ":relay2:default %d\n";
inline constexpr char Rs232PeriodFormat[] = ":rs232:period %d\n";
inline constexpr char Rs485PeriodFormat[] = ":rs485:period %d\n";
inline constexpr char DisplayPeriodFormat[] = ":display:period %d\n";
inline constexpr char Save[] = ":save\n";

// The settings' keys, read-back queries and ranges, and the sensor curve
// keywords, are tabled in instrument-settings.h.

// Parameter keys of the two ADC voltage readings (microvolts).
inline constexpr char UncalibratedVoltageKey[] = "Vunc";
inline constexpr char CalibratedVoltageKey[] = "Vcor";

// --- Replies, in the order they are tested --------------------------------

inline constexpr char ResetAnnouncement[] = "*RESET ";
inline constexpr char BootstrapAnnouncement[] = "*BOOTSTRAP ";
inline constexpr char ManagementAnnouncement[] = "*MGMT";
inline constexpr char ApplicationAnnouncement[] = "*APP ";
inline constexpr char TemperaturePrefix[] = "*T = ";
// The unit that may follow the number of a temperature line.
inline constexpr char TemperatureUnit[] = " K";
inline constexpr char IdentificationPrefix[] = "NORDA,";
inline constexpr char CompatPrefix[] = "*COMPAT = ";
inline constexpr char CalibrationEraseDone[] = "*cal-erase-done";
inline constexpr char CalibrationWriteDone[] = "*cal-write-done";
inline constexpr char FlashEraseOk[] = "*ERASE_OK";
inline constexpr char FlashWriteOk[] = "*WRITE_OK";
inline constexpr char ParameterSeparator[] = " = ";

inline constexpr char Manufacturer[] = "NORDA";
inline constexpr char ApplicationModel[] = "VKRHX350";
inline constexpr char ManagementModel[] = "VKRHX350-BS";

// Packed versions (one byte per dotted component). Up to LegacyVersionLast the
// instrument knows no "@00" and uses the legacy firmware commands; above
// VoltQueriesAfter it answers the voltage queries.
inline constexpr quint32 LegacyVersionLast = 0x0103FFFF;
inline constexpr quint32 VoltQueriesAfter = 0x0104FFFF;

// Payload bytes per write command.
inline constexpr int CalibrationChunkSize = CalibrationWrite.chunkSize;
inline constexpr int FirmwareChunkSize = FlashWrite.chunkSize;
static_assert(FlashWriteLegacy.chunkSize == FlashWrite.chunkSize, "both firmware command sets write 112 bytes");

} // namespace Protocol
