// SPDX-License-Identifier: GPL-3.0-or-later
#include "RuntimeError.h"

using namespace Qt::StringLiterals;

RuntimeError::RuntimeError(Number number, QString description)
    : m_number(number)
    , m_description(std::move(description))
    , m_what(message().toUtf8())
{
}

QString RuntimeError::message() const
{
    return u"Run-time error "_s + QString::number(m_number) + u":\r\n"_s + m_description;
}

const char *RuntimeError::what() const noexcept
{
    return m_what.constData();
}
