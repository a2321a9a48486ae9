#pragma once

#include <QColor>
#include <QFont>

class QWidget;

namespace tavo::style {

// The look shared by the program's windows: one small sans-serif font for every control, a
// larger one for the log window, and the green of the status labels and links.

// Pixel sizes of the two fonts (8 and 10 points at 96 dots per inch).
inline constexpr int kWindowFontPixels = 11;
inline constexpr int kLogFontPixels = 13;

QFont windowFont();
QFont logFont();
QColor green();

// Makes every menu use the window font. A menu pops up as a window of its own, which takes no
// font from the window it belongs to; called once, when the application object exists.
void useWindowFontForMenus();

// Sets the text colour of a label, or of the text of an editor, to green.
void makeGreen(QWidget* widget);
void makeUnderlined(QWidget* widget);
// Moves a top-level window so that its frame is centred on the screen it is on.
void centreOnScreen(QWidget* window);

} // namespace tavo::style
