#pragma once

// The VKRHX350 as the monitor reads it: identification and the opening
// sequence, its temperature, the settings the configuration sets at every
// connect and after a restart, and its management firmware, which a client of
// the shared port may put it in for a maintenance (the monitor then only
// listens) or which it is started out of when nobody is there to finish one.

#include "drivers/instrument-driver.h"

#include <QHash>

class Device;
class QTimer;

class Vkrhx350Driver : public InstrumentDriver
{
    Q_OBJECT

public:
    // No sensor of the instrument reports more (its curves end well below).
    static constexpr double HottestKelvin = 2000;
    // It reports whole millikelvin: a value under half of one (0, a denormal
    // of a corrupted line) is no temperature it can have sent.
    static constexpr double ColdestKelvin = 0.0005;

    // periodMs is the RS-232 output period.
    explicit Vkrhx350Driver(const DriverOptions &options, QObject *parent = nullptr);

    QVector<InstrumentChannel> channels() const override;
    bool open(const QString &port) override;
    void close() override;
    bool isOpen() const override { return m_device != nullptr; }
    void identifyAgain() override;
    void setClientPresent(bool present) override;
    void clientLine(const QByteArray &line) override;
    qint64 bytesNotYetSent() const override;
    void stop() override;

private:
    void identified();
    void startMaintenance(const QString &why);
    void endMaintenance();
    // The maintenance went on past its limit: silence alarms count again.
    void maintenanceOverdue();
    void startApplication();
    QString backInApplication() const;
    // The monitor speaks to the instrument only while no client is in the
    // middle of a maintenance exchange.
    void updateListenOnly();
    void sendConfiguredSettings();
    // Reads the settings once at connect, one query per answer, so that a
    // client's change is recorded with the value it replaced.
    void readBackNext(const QString &answeredKey);
    void portLost(const QString &reason);

    DriverOptions m_options;
    Device *m_device = nullptr;
    QTimer *m_maintenanceLimit;
    bool m_accepted = false; // identified as the configured instrument since the port opened
    bool m_client = false;
    bool m_maintenance = false;
    bool m_restarted = false; // announced its application again, not yet identified
    // The settings as the instrument last reported them (or a client set them).
    QHash<QString, QString> m_settings;
    // Which setting the read-back asks next (-1: none running).
    int m_readBack = -1;
};
