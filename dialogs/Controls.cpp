#include "dialogs/Controls.h"

#include "dialogs/UpDown.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace tavo::controls {

QLabel* label(QWidget* parent, const char* name, const QString& caption, const QRect& geometry)
{
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    return label;
}

QLabel* label(QWidget* parent, const char* name, const QString& caption, const QPoint& position)
{
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QLatin1String(name));
    label->move(position);
    label->adjustSize();
    return label;
}

QLineEdit* edit(QWidget* parent, const char* name, const QRect& geometry, const QString& text)
{
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(QLatin1String(name));
    edit->setGeometry(geometry);
    return edit;
}

QPushButton* button(QWidget* parent, const char* name, const QString& caption,
                    const QRect& geometry, AutoDefault autoDefault)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(geometry);
    if (autoDefault == AutoDefault::Off)
        button->setAutoDefault(false);
    return button;
}

UpDown* upDown(QLineEdit* associate, const char* name, int minimum, int maximum, int position,
               const QRect& geometry)
{
    auto* arrows = new UpDown(associate, minimum, maximum, position, associate->parentWidget());
    arrows->setObjectName(QLatin1String(name));
    arrows->setGeometry(geometry);
    return arrows;
}

} // namespace tavo::controls
