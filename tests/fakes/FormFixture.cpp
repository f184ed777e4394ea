// SPDX-License-Identifier: GPL-3.0-or-later
#include "FormFixture.h"

using namespace Qt::StringLiterals;

const QString FormFixture::Code = u"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"_s;

void FormFixture::load(const QString &commandLine)
{
    form = std::make_unique<Form1>(prompt, backend.factory(), commandLine,
                                   [this](int status) { exitStatus = status; });
    form->Form_Load();
}

void FormFixture::loadAndShow()
{
    load();
    form->show();
    prompt.shown.clear();
    backend.log->clear();
}

QStringList FormFixture::callsOf(int id) const
{
    const QString prefix = QString::number(id) + u'.';
    QStringList calls;
    for (const QString &call : std::as_const(*backend.log))
        if (call.startsWith(prefix))
            calls.append(call.mid(prefix.size()));
    return calls;
}
