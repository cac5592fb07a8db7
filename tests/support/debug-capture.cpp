#include "debug-capture.h"

namespace {
QStringList capturedLines;

void captureMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    capturedLines << message;
}
} // namespace

DebugCapture::DebugCapture() : m_previous(qInstallMessageHandler(captureMessage))
{
    capturedLines.clear();
}

DebugCapture::~DebugCapture()
{
    qInstallMessageHandler(m_previous);
}

QStringList DebugCapture::lines() const
{
    return capturedLines;
}

bool DebugCapture::contains(const QString &text) const
{
    for (const QString &line : capturedLines) {
        if (line.contains(text))
            return true;
    }
    return false;
}

void DebugCapture::clear()
{
    capturedLines.clear();
}
