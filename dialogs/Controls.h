#pragma once

#include <QString>

class QLabel;
class QLineEdit;
class QPoint;
class QPushButton;
class QRect;
class QWidget;

namespace tavo {

class UpDown;

// The small factories behind the fixed layouts of the program's windows: each control gets its
// object name and its place, and a window sets anything beyond that itself.
namespace controls {

// A label at a fixed place and size; its caption keeps QLabel's alignment, left and vertically
// centred.
QLabel* label(QWidget* parent, const char* name, const QString& caption, const QRect& geometry);
// A label whose top-left corner is at `position`, sized to its caption.
QLabel* label(QWidget* parent, const char* name, const QString& caption, const QPoint& position);

QLineEdit* edit(QWidget* parent, const char* name, const QRect& geometry,
                const QString& text = QString());

// Whether a button of a dialog becomes the default one while it has the focus, as Qt decides,
// or never does, so that Enter in an edit does not press it.
enum class AutoDefault
{
    AsQt,
    Off
};

QPushButton* button(QWidget* parent, const char* name, const QString& caption,
                    const QRect& geometry, AutoDefault autoDefault = AutoDefault::AsQt);

// Spin arrows for `associate`, placed beside it in the same parent.
UpDown* upDown(QLineEdit* associate, const char* name, int minimum, int maximum, int position,
               const QRect& geometry);

} // namespace controls
} // namespace tavo
