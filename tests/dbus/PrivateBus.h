#pragma once

#include <QProcess>
#include <QString>

// A message bus of the test's own, so no test ever reaches the session bus
// of the machine. The daemon stops when this object goes away.
class PrivateBus
{
public:
    explicit PrivateBus(const QString &configFile);
    ~PrivateBus();
    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    // Empty when the daemon did not start.
    QString address() const { return m_address; }

private:
    QProcess m_daemon;
    QString m_address;
};
