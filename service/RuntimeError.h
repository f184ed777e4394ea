// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <exception>

// A failure that ends the program with the run-time error message.
//
// The program's error numbers:
//    1  ServiceUnavailable  the update service object cannot be created
//                           (no session bus, or the service name has no
//                           owner and cannot be started)
//    2  InterfaceMissing    an object the service handed out does not
//                           provide the interface the program needs
//    3  OperationFailed     a service operation failed; the description is
//                           the D-Bus error name and message
//    4  UnexpectedReply     a reply did not have the contract's type
//    5  ProgramFault        anything else that went wrong inside the program
class RuntimeError : public std::exception
{
public:
    enum Number {
        ServiceUnavailable = 1,
        InterfaceMissing = 2,
        OperationFailed = 3,
        UnexpectedReply = 4,
        ProgramFault = 5,
    };

    RuntimeError(Number number, QString description);

    Number number() const noexcept { return m_number; }
    const QString &description() const noexcept { return m_description; }
    // "Run-time error N:" CRLF description
    QString message() const;
    const char *what() const noexcept override;

private:
    Number m_number;
    QString m_description;
    QByteArray m_what;
};
