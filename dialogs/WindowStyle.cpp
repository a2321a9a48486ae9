#include "dialogs/WindowStyle.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QGuiApplication>
#include <QPalette>
#include <QScreen>
#include <QWidget>

namespace tavo::style {

namespace {

QFont sansSerif(int pixelSize)
{
    QFont font;
    // A narrow face first, so that the captions fit the fixed positions of the windows.
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans Condensed"),
                      QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    return font;
}

} // namespace

QFont windowFont()
{
    return sansSerif(kWindowFontPixels);
}

QFont logFont()
{
    return sansSerif(kLogFontPixels);
}

QColor green()
{
    return QColor(0, 128, 0);
}

void useWindowFontForMenus()
{
    QApplication::setFont(windowFont(), "QMenu");
}

void makeGreen(QWidget* widget)
{
    // An editor draws its text in the Text colour; its scroll bars, which take
    // its palette, draw their arrows in WindowText, which must stay as it is.
    const QPalette::ColorRole role =
        qobject_cast<QAbstractScrollArea*>(widget) ? QPalette::Text : QPalette::WindowText;
    QPalette palette = widget->palette();
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
        palette.setColor(group, role, green());
    widget->setPalette(palette);
}

void makeUnderlined(QWidget* widget)
{
    QFont font = widget->font();
    font.setUnderline(true);
    widget->setFont(font);
}

void centreOnScreen(QWidget* window)
{
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    QRect frame = window->frameGeometry();
    frame.moveCenter(available.center());
    window->move(frame.topLeft());
}

} // namespace tavo::style
