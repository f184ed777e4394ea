// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QList>
#include <QMetaType>
#include <QString>

// ListProducts' a(ss): a product's code and name.
struct StatusProduct
{
    QString code;
    QString name;
};
using StatusProductList = QList<StatusProduct>;
Q_DECLARE_METATYPE(StatusProduct)

inline QDBusArgument &operator<<(QDBusArgument &argument, const StatusProduct &product)
{
    argument.beginStructure();
    argument << product.code << product.name;
    argument.endStructure();
    return argument;
}

inline const QDBusArgument &operator>>(const QDBusArgument &argument, StatusProduct &product)
{
    argument.beginStructure();
    argument >> product.code >> product.name;
    argument.endStructure();
    return argument;
}

// Once per process, before the first call that carries the type.
inline void registerStatusTypes()
{
    qDBusRegisterMetaType<StatusProduct>();
    qDBusRegisterMetaType<StatusProductList>();
}
