// SPDX-License-Identifier: GPL-3.0-or-later
#include "Form1.h"

#include <QLabel>
#include <QPushButton>
#include <QStyle>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// Positions are kept in twips; 15 twips make one device-independent pixel
// (96 per inch) and Qt scales those for HiDPI screens.
constexpr int TwipsPerPixel = 15;

QRect fromTwips(int left, int top, int width, int height)
{
    return QRect(left / TwipsPerPixel, top / TwipsPerPixel, width / TwipsPerPixel,
                 height / TwipsPerPixel);
}

QPushButton *addButton(QWidget *form, const QString &name, const QString &text, QRect geometry)
{
    auto *button = new QPushButton(text, form);
    button->setObjectName(name);
    button->setGeometry(geometry);
    button->setAutoDefault(false);
    return button;
}

// The captions keep the window's font family, at the largest size not above
// the window's at which every one fits its button: the widths are fixed, and
// the platform's font may be wider than the one they were drawn for.
void fitCaptions(std::initializer_list<QPushButton *> buttons)
{
    QFont font = (*buttons.begin())->font();
    const auto fits = [&font](QPushButton *button) {
        const int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
        return QFontMetrics(font).horizontalAdvance(button->text()) + margin <= button->width();
    };
    constexpr qreal SmallestPointSize = 6;
    while (font.pointSizeF() > SmallestPointSize && !std::all_of(buttons.begin(), buttons.end(), fits))
        font.setPointSizeF(font.pointSizeF() - 0.5);
    for (QPushButton *button : buttons)
        button->setFont(font);
}

QLabel *addLabel(QWidget *form, const QString &name, const QString &text, QRect geometry)
{
    auto *label = new QLabel(text, form);
    label->setObjectName(name);
    label->setGeometry(geometry);
    // Texts come from the update service: never interpret them as markup.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    // The name ends in a line break: centred, a wrapped name would lose its top.
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setFocusPolicy(Qt::NoFocus);
    return label;
}

} // namespace

void Form1::createControls()
{
    setObjectName(u"Form1"_s);
    setWindowTitle(u"Form1"_s);
    setFixedSize(fromTwips(0, 0, 10815, 3450).size());
    // The fixed geometry was drawn for 8-point text; larger, four status
    // lines do not fit.
    QFont smaller = font();
    smaller.setPointSizeF(8);
    setFont(smaller);

    btnCancel3 = addButton(this, u"btnCancel3"_s, u"Cancel Third Update"_s, fromTwips(7080, 1800, 1815, 495));
    btnCancel2 = addButton(this, u"btnCancel2"_s, u"Cancel Second Update"_s, fromTwips(3840, 1800, 1815, 495));
    btnCancel1 = addButton(this, u"btnCancel1"_s, u"Cancel First Update"_s, fromTwips(600, 1800, 1695, 495));
    lbl3 = addLabel(this, u"lbl3"_s, QString(), fromTwips(6600, 240, 2895, 495));
    lbl2 = addLabel(this, u"lbl2"_s, QString(), fromTwips(3360, 240, 2895, 495));
    lbl1 = addLabel(this, u"lbl1"_s, QString(), fromTwips(120, 240, 2895, 495));
    lblStatus3 = addLabel(this, u"lblStatus3"_s, u"Third Update Status"_s, fromTwips(6600, 720, 2895, 855));
    lblStatus2 = addLabel(this, u"lblStatus2"_s, u"Second Update Status"_s, fromTwips(3360, 720, 2895, 855));
    lblStatus1 = addLabel(this, u"lblStatus1"_s, u"First Update Status"_s, fromTwips(120, 720, 2895, 855));

    // The status labels' own display setting: a sunken panel sets the live
    // text apart from the name above it.
    for (QLabel *status : {lblStatus1, lblStatus2, lblStatus3})
        status->setFrameStyle(QFrame::Panel | QFrame::Sunken);

    fitCaptions({btnCancel1, btnCancel2, btnCancel3});

    setTabOrder(btnCancel1, btnCancel2);
    setTabOrder(btnCancel2, btnCancel3);
    btnCancel1->setFocus();

    connect(btnCancel1, &QPushButton::clicked, this, [this] { m_boundary.run([this] { btnCancel1_Click(); }); });
    connect(btnCancel2, &QPushButton::clicked, this, [this] { m_boundary.run([this] { btnCancel2_Click(); }); });
    connect(btnCancel3, &QPushButton::clicked, this, [this] { m_boundary.run([this] { btnCancel3_Click(); }); });
}
