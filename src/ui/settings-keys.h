#pragma once

// Keys of the per-user settings store. A leading "/" names a top-level entry;
// "/serial/port-name" is "port-name" in the group "serial".
namespace SettingsKeys {
inline const char SerialPortName[] = "/serial/port-name";
inline const char SensorId[] = "/sensor-id";
inline const char Relay1Temperature[] = "/relay1-temperature";
inline const char Relay1Hysteresis[] = "/relay1-hysteresis";
inline const char Relay1DefaultState[] = "/relay1-default-state";
inline const char Relay2Temperature[] = "/relay2-temperature";
inline const char Relay2Hysteresis[] = "/relay2-hysteresis";
inline const char Relay2DefaultState[] = "/relay2-default-state";
inline const char Rs232Output[] = "/rs232-automatic-output";
inline const char Rs232OutputPeriod[] = "/rs232-automatic-output-period";
inline const char Rs485Output[] = "/rs485-automatic-output";
inline const char Rs485OutputPeriod[] = "/rs485-automatic-output-period";
inline const char DisplayRefreshPeriod[] = "/display-refresh-period";
inline const char CustomSensorName[] = "/custom-sensor-name";
inline const char CustomSensorFile[] = "/custom-sensor-file";
inline const char SensorFileLastPath[] = "/ui/sensor-file-last-path";
inline const char FirmwareUpgradeLastPath[] = "/ui/firmware-upgrade-last-path";
} // namespace SettingsKeys
