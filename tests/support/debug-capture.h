#pragma once

// Collects the program's debug output while it is alive, so tests can check
// the diagnostic lines.

#include <QStringList>
#include <QtGlobal>

class DebugCapture
{
public:
    DebugCapture();
    ~DebugCapture();
    QStringList lines() const;
    bool contains(const QString &text) const;
    void clear();

private:
    QtMessageHandler m_previous;
};
