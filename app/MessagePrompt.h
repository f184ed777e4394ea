// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// A modal message box: OK, or Yes and No, with the first button the default.
// Only an explicit Yes is agreement; any other way of closing is No.
class MessagePrompt
{
public:
    enum class Buttons { Ok, YesNo };
    enum class Answer { Ok, Yes, No };

    virtual ~MessagePrompt() = default;

    virtual Answer show(const QString &text, Buttons buttons, const QString &title) = 0;
};
