#pragma once

#include "engine/TaskThread.h"
#include "tiles/SingleTileFetch.h"

#include <QDialog>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class QLabel;
class QLineEdit;
class QPushButton;

namespace tavo {

class UpDown;

// The "Download single image" dialog, shown beside the main window without blocking it. It
// fetches one tile named by column, row and zoom into a folder of the user's choice. The fetch
// runs on a thread of its own, owned by the dialog, so the window keeps responding; the button
// stays disabled until the press has ended in its one message. Closing the dialog during a
// fetch is safe; destroying it (at the program's end) abandons a fetch still running, whose
// result is then dropped.
class TfrmSingle final : public QDialog
{
    Q_OBJECT
public:
    explicit TfrmSingle(QWidget* parent = nullptr);
    ~TfrmSingle() override;
    TfrmSingle(const TfrmSingle&) = delete;
    TfrmSingle& operator=(const TfrmSingle&) = delete;

    // Asked at every press for the proxy values and the tile version.
    void setContextProvider(std::function<SingleTileContext()> provider);
    void setFetchTimeouts(long connectTimeoutMs, long stallTimeoutMs);

    // True from a press that reached the fetch until its closing message has been shown.
    bool isDownloading() const { return m_downloading; }
    // Fetches started by presses so far.
    int fetchesStarted() const { return m_fetchesStarted; }

public slots:
    void Button1Click(); // "Download"
    void Button2Click(); // "...": choose the folder

private:
    void createControls();
    void finishDownload();

    TaskThread m_fetchThread; // the running fetch, until its message is shown
    std::shared_ptr<QString> m_fetchOutcome; // its message; written by the fetch's thread
    QTimer m_fetchWatch; // notices the end of the fetch
    std::function<SingleTileContext()> m_contextProvider;
    long m_connectTimeoutMs = 10000;
    long m_stallTimeoutMs = 20000;
    int m_fetchesStarted = 0;
    bool m_downloading = false;

    QLabel* m_Label3 = nullptr;
    QLineEdit* m_Edit1 = nullptr;
    QLabel* m_Label1 = nullptr;
    QLineEdit* m_Edit2 = nullptr;
    QLabel* m_Label2 = nullptr;
    QLabel* m_Label4 = nullptr;
    QLineEdit* m_Edit3 = nullptr;
    UpDown* m_UpDown1 = nullptr;
    QLabel* m_Label6 = nullptr;
    QLineEdit* m_Edit6 = nullptr;
    QPushButton* m_Button2 = nullptr;
    QPushButton* m_Button1 = nullptr;
};

} // namespace tavo
