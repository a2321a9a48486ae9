#pragma once

#include "glimpse/JobDocument.h"
#include "glimpse/Texts.h"
#include "glimpse/TileImageCache.h"
#include "glimpse/window/MapWidget.h"

#include <QMainWindow>

#include <functional>

class QLabel;

namespace tavo::glimpse {

// Where the viewer keeps its files.
struct GlimpseFiles
{
    QString iniPath;           // remembers the last project (ini/glimpse.ini)
    QString placeholderPath;   // blankimg/blank.jpg
    QString downloaderIniPath; // the downloader's settings (ini/config.ini): its save folder
    // All beside the executable.
    static GlimpseFiles besideExecutable();
};

// The viewer's main window: the map, its menus and the status bar.
class GlimpseWindow final : public QMainWindow
{
    Q_OBJECT
public:
    explicit GlimpseWindow(const GlimpseFiles& files, QWidget* parent = nullptr);
    ~GlimpseWindow() override;

    // Opens a project; a failure is shown as a message and leaves the window
    // as it was. Returns true on success.
    bool openProject(const QString& path);
    // Asks for a project file and opens it.
    void chooseProject();
    // At start: the project named on the command line, else the last one,
    // else ask.
    void openAtStart(const QStringList& arguments);

    bool copyAreaToClipboard();
    bool exportView(const QString& path);

    // Messages for the user go here (a message box unless replaced).
    void setMessageSink(std::function<void(const QString&)> sink)
    {
        m_messageSink = std::move(sink);
    }

    JobDocument& document() { return m_document; }
    TileImageCache& cache() { return m_cache; }
    MapWidget& map() { return *m_map; }
    QString countsLabelText() const;
    QString pointerLabelText() const;

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildMenus();
    void showMessage(const QString& text);
    void updateCounts();
    void updatePointer(const QPointF& point, bool inside);
    void showPointerText();

    GlimpseFiles m_files;
    LastProjectWriter m_settingsWriter; // waits for the last write when destroyed
    JobDocument m_document;
    TileImageCache m_cache;
    MapWidget* m_map = nullptr;
    QLabel* m_pointerLabel = nullptr;
    QString m_pointerText; // the whole readout; the label may show it shortened
    QLabel* m_countsLabel = nullptr;
    std::function<void(const QString&)> m_messageSink;
};

} // namespace tavo::glimpse
