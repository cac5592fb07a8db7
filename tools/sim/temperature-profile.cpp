#include "temperature-profile.h"

#include <QLocale>
#include <QRandomGenerator>
#include <QStringList>

#include <cmath>

QString TemperatureProfile::forms()
{
    return QStringLiteral("cool SECONDS [TO_K] (an exponential approach with that time constant, to 4.2 K by "
                          "default), ramp K_PER_MINUTE [TO_K] (a warm-up, to 300 K by default), step K, quench K "
                          "SECONDS (a rise to K within SECONDS), stuck (the reading of now, again and again)");
}

bool TemperatureProfile::set(const QString &text, double seconds, QString *why)
{
    const QStringList words = text.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QVector<double> numbers;
    for (int i = 1; i < words.size(); ++i) {
        bool ok = false;
        const double number = QLocale::c().toDouble(words.at(i), &ok);
        if (!ok || !std::isfinite(number)) {
            *why = QStringLiteral("'%1' is not a number").arg(words.at(i));
            return false;
        }
        numbers << number;
    }
    const QString kind = words.value(0).toLower();
    const auto wrong = [&] {
        *why = QStringLiteral("'%1' is no profile (%2)").arg(text.simplified(), forms());
        return false;
    };
    Kind next;
    double to = 0;
    double rate = 0;
    if (kind == QLatin1String("cool") && (numbers.size() == 1 || numbers.size() == 2) && numbers[0] > 0) {
        next = Cool;
        rate = numbers[0];
        to = numbers.value(1, 4.2);
    } else if (kind == QLatin1String("ramp") && (numbers.size() == 1 || numbers.size() == 2) && numbers[0] != 0) {
        next = Ramp;
        rate = numbers[0] / 60.0;
        to = numbers.value(1, 300.0);
    } else if (kind == QLatin1String("step") && numbers.size() == 1) {
        next = Step;
        to = numbers[0];
    } else if (kind == QLatin1String("quench") && numbers.size() == 2 && numbers[1] > 0) {
        next = Quench;
        to = numbers[0];
        rate = numbers[1];
    } else if (kind == QLatin1String("stuck") && numbers.isEmpty()) {
        next = Stuck;
    } else {
        return wrong();
    }
    if (to < 0 || (next != Stuck && next != Cool && next != Ramp && to <= 0)) {
        *why = QStringLiteral("a temperature below 0 K");
        return false;
    }
    m_from = exact(seconds);
    m_startSeconds = seconds;
    m_kind = next;
    m_to = to;
    m_rate = rate;
    return true;
}

double TemperatureProfile::exact(double seconds) const
{
    const double t = qMax(0.0, seconds - m_startSeconds);
    switch (m_kind) {
    case Cool:
        return m_to + (m_from - m_to) * std::exp(-t / m_rate);
    case Ramp:
        return m_rate > 0 ? qMin(m_to, m_from + m_rate * t) : qMax(m_to, m_from + m_rate * t);
    case Step:
        return m_to;
    case Quench:
        return m_from + (m_to - m_from) * qMin(1.0, t / m_rate);
    case Stuck:
        return m_from;
    }
    return m_from;
}

double TemperatureProfile::kelvin(double seconds) const
{
    if (m_kind == Stuck)
        return m_from;
    const double noise = (QRandomGenerator::global()->generateDouble() - 0.5) * 0.01;
    return qMax(0.001, exact(seconds) + noise);
}
