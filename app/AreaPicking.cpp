#include "app/AreaPicking.h"

#include "app/AppState.h"
#include "job/JobProgress.h"
#include "dialogs/SelectAreaDialog.h"
#include "dialogs/TForm1.h"
#include "files/Settings.h"

#include <QLineEdit>

namespace tavo {

void selectAreaOnMap(TForm1& form, const AppState& app)
{
    SelectAreaDialog::Setup setup;
    setup.area = {form.Edit1()->text(), form.Edit3()->text(), form.Edit2()->text(),
                  form.Edit4()->text()};
    setup.zoomText = form.Edit5()->text();
    setup.source.proxy = readJobSettings(app.SettingsPath).proxy;
    setup.source.urlTail = app.UrlTail;
    setup.source.cacheFolder = mapTileCacheFolder();
    setup.estimate = jobSizeEstimate;

    SelectAreaDialog dialog(setup, &form);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const AreaTexts texts = dialog.areaTexts();
    form.Edit1()->setText(texts.left);
    form.Edit3()->setText(texts.right);
    form.Edit2()->setText(texts.top);
    form.Edit4()->setText(texts.bottom);
    form.Edit5()->setText(QString::number(dialog.zoom()));
}

} // namespace tavo
