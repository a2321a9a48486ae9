#pragma once

#include <QString>

namespace tavo {

struct AppState;
class TForm1;

// The first showing of the main window: the application state's fixed
// places, the server parameters, the settings, and the fields that show
// them. Throws (AppError) when the parameters file cannot be read; the state
// then keeps what it had and the window the values of its layout.
void startUp(TForm1& form, AppState& app, const QString& programFolder);

} // namespace tavo
