#pragma once

#include "engine/ProxySettings.h"
#include "http/HttpClient.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;
class QThread;

namespace tavo {

class UpDown;

// The main window's values that a single-tile download uses, as they were last loaded (at
// start-up or at the last Download press).
struct SingleTileContext
{
    ProxySettings proxy; // the port is converted only when the proxy is used
    QString tileVersion;
};

// One press of "Download single image" without the window: the entries are checked and the
// request is built on the calling thread (prepare), then the tile is fetched and stored
// (fetchAndSave), which may run on any thread. A value type: a prepared fetch is copied to the
// thread that runs it.
class SingleTileFetch final
{
public:
    struct Entries
    {
        QString column;
        QString row;
        QString zoom;
        QString folder;
    };

    // Reads column, row and zoom as integers, checks the folder and creates it (one level),
    // forms the quadkey, the URL and the file name, and converts the proxy port. Returns false
    // when the press ends here; message() then holds the one text to show.
    bool prepare(const Entries& entries, const SingleTileContext& context);

    // Fetches the prepared URL and stores the body, replacing any file of that name (written to
    // a temporary file and renamed, so a failure never leaves a partial tile). Returns the
    // closing message: the confirmation or "Failed to get the image.". Never throws.
    QString fetchAndSave() const;

    // Connect time-out and stalled-transfer time-out of the fetch.
    void setTimeouts(long connectTimeoutMs, long stallTimeoutMs);

    const QString& message() const { return m_message; }
    const std::string& url() const { return m_url; }
    // The folder with its trailing separator, as the confirmation names it.
    const QString& folder() const { return m_folder; }
    const QString& filePath() const { return m_filePath; }
    bool usesProxy() const { return m_useProxy; }
    const http::ProxyEndpoint& proxy() const { return m_proxy; }

    // The zooms the tile arithmetic can represent: a column or row of zoom 31 no longer fits
    // 32 bits, and below 1 there is no quadkey.
    static constexpr int MinZoom = 1;
    static constexpr int MaxZoom = 30;

    static QString zoomOutOfRangeText();
    static QString noFolderText();
    static QString createFolderFailedText(const QString& folder);
    static QString savedText(const QString& folderWithSeparator);
    static QString failedText();

private:
    QString m_message;
    std::string m_url;
    QString m_folder;
    QString m_filePath;
    bool m_useProxy = false;
    http::ProxyEndpoint m_proxy;
    long m_connectTimeoutMs = 10000;
    long m_stallTimeoutMs = 20000;
};

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

public slots:
    void Button1Click(); // "Download"
    void Button2Click(); // "...": choose the folder

private:
    void createControls();
    void finishDownload(const QString& message);

    std::unique_ptr<QThread> m_fetchThread; // the running fetch, until its message is shown
    std::function<SingleTileContext()> m_contextProvider;
    long m_connectTimeoutMs = 10000;
    long m_stallTimeoutMs = 20000;
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
