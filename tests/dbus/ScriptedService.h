// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QHash>
#include <QMutex>
#include <QStringList>

// Serves every path of the connection as the test scripts it through the
// control interface (ControlInterface on ControlPath):
//   AddObject(s path, as interfaces)        an object listing these interfaces
//   SetReply(s path, s member, av values)   reply with these values, typed as sent
//   SetError(s path, s member, s name, s message)
//   VanishOn(s path, s member)              quit without replying to that call
//   Emit(s path, s interface, s member, av values)
//   EmitOn(s path, s member, s sigPath, s sigInterface, s sigMember, av values)
//                                           emit just before answering that call
//   TakeCalls() -> as                       calls so far, one per entry:
//                                           path, interface, member, signature,
//                                           then each argument, '\n' between
//   Quit()
// Scripted replies and errors stay until replaced; they also override
// Introspect. Unscripted calls get an error.
class ScriptedService : public QDBusVirtualObject
{
public:
    static constexpr char16_t ControlPath[] = u"/test";
    static constexpr char16_t ControlInterface[] = u"com.palvane.UpdateService.Test";
    static constexpr char16_t NotScripted[] = u"com.palvane.UpdateService.Test.NotScripted";

    explicit ScriptedService(QObject *parent = nullptr);

    QString introspect(const QString &path) const override;
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;

private:
    struct Answer {
        bool isError = false;
        bool vanish = false;
        QString errorName;
        QString errorMessage;
        QVariantList values;
    };
    struct Emission {
        QString path;
        QString interface;
        QString member;
        QVariantList values;
    };

    static QString key(const QString &path, const QString &member);
    static QString render(const QVariant &value);
    static QVariantList unwrap(const QVariant &variants);
    static void emitSignal(const QDBusConnection &connection, const Emission &emission);

    QDBusMessage control(const QDBusMessage &message, const QDBusConnection &connection);
    QDBusMessage serve(const QDBusMessage &message, const QDBusConnection &connection);
    QString introspectionOf(const QString &path) const;
    void record(const QDBusMessage &message);

    mutable QMutex m_mutex;
    QHash<QString, QStringList> m_objects;
    QHash<QString, Answer> m_answers;
    QHash<QString, Emission> m_emissions;
    QStringList m_calls;
};
