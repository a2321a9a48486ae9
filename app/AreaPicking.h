#pragma once

namespace tavo {

struct AppState;
class TForm1;

// Tools > "Select area on map...": opens the area dialog on the fields' area
// and zoom; OK writes the rectangle into Edit1 (left), Edit3 (right), Edit2
// (top), Edit4 (bottom) and the zoom into Edit5; Cancel changes nothing. The
// map's tiles come through the proxy of the settings file as it is now.
void selectAreaOnMap(TForm1& form, const AppState& app);

} // namespace tavo
