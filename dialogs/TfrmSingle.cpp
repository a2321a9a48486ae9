#include "dialogs/TfrmSingle.h"

#include "dialogs/Controls.h"
#include "dialogs/Shell.h"
#include "dialogs/WindowStyle.h"

#include <QLineEdit>
#include <QPushButton>

#include <memory>
#include <utility>

namespace tavo {

namespace {

// How often the dialog looks whether the fetch has ended.
constexpr int FetchWatchMs = 20;

} // namespace

TfrmSingle::TfrmSingle(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmSingle"));
    setWindowTitle(QStringLiteral("Download single image"));
    setFont(style::windowFont());
    setWindowFlags((windowFlags() | Qt::MSWindowsFixedSizeDialogHint) &
                   ~Qt::WindowContextHelpButtonHint);
    setModal(false);
    setFixedSize(372, 128);
    createControls();
    // The fetch's thread only writes its outcome; the dialog looks for its end
    // on its own thread, so nothing reaches a dialog that is gone.
    m_fetchWatch.setInterval(FetchWatchMs);
    connect(&m_fetchWatch, &QTimer::timeout, this, [this] {
        if (m_fetchThread.isFinished())
            finishDownload();
    });
}

TfrmSingle::~TfrmSingle()
{
    // A fetch still running holds its own copy of all it uses.
    if (m_fetchThread.isRunning())
        m_fetchThread.abandon();
}

void TfrmSingle::createControls()
{
    // The first row reads like the file name that results: column "_" row ".JPG".
    m_Label3 = controls::label(this, "Label3", QStringLiteral("Image:"), QPoint(12, 17));
    m_Edit1 = controls::edit(this, "Edit1", QRect(72, 13, 64, 23), QStringLiteral("X"));
    m_Label1 = controls::label(this, "Label1", QStringLiteral("_"), QPoint(140, 17));
    m_Edit2 = controls::edit(this, "Edit2", QRect(152, 13, 64, 23), QStringLiteral("Y"));
    m_Label2 = controls::label(this, "Label2", QStringLiteral(".JPG"), QPoint(220, 17));
    m_Label4 = controls::label(this, "Label4", QStringLiteral("Zoom:"), QPoint(262, 17));
    m_Edit3 = controls::edit(this, "Edit3", QRect(310, 13, 36, 23), QStringLiteral("12"));
    m_UpDown1 = controls::upDown(m_Edit3, "UpDown1", 1, 25, 12, QRect(347, 13, 16, 23));

    // Neither button is the dialog's default: Enter in an edit starts nothing.
    m_Label6 = controls::label(this, "Label6", QStringLiteral("Save to:"), QPoint(12, 55));
    m_Edit6 = controls::edit(this, "Edit6", QRect(72, 51, 250, 23));
    m_Button2 = controls::button(this, "Button2", QStringLiteral("..."), QRect(328, 50, 35, 25),
                                 controls::AutoDefault::Off);
    m_Button2->setToolTip(QStringLiteral("Click to select path"));
    connect(m_Button2, &QPushButton::clicked, this, &TfrmSingle::Button2Click);

    m_Button1 = controls::button(this, "Button1", QStringLiteral("Download"),
                                 QRect(136, 88, 100, 29), controls::AutoDefault::Off);
    connect(m_Button1, &QPushButton::clicked, this, &TfrmSingle::Button1Click);

    QWidget::setTabOrder(m_Edit1, m_Edit2);
    QWidget::setTabOrder(m_Edit2, m_Edit3);
    QWidget::setTabOrder(m_Edit3, m_Edit6);
    QWidget::setTabOrder(m_Edit6, m_Button2);
    QWidget::setTabOrder(m_Button2, m_Button1);
}

void TfrmSingle::setContextProvider(std::function<SingleTileContext()> provider)
{
    m_contextProvider = std::move(provider);
}

void TfrmSingle::setFetchTimeouts(long connectTimeoutMs, long stallTimeoutMs)
{
    m_connectTimeoutMs = connectTimeoutMs;
    m_stallTimeoutMs = stallTimeoutMs;
}

void TfrmSingle::Button1Click()
{
    // One press at a time: a press while a fetch runs does nothing.
    if (m_downloading)
        return;

    SingleTileFetch fetch;
    fetch.setTimeouts(m_connectTimeoutMs, m_stallTimeoutMs);
    const SingleTileContext context = m_contextProvider ? m_contextProvider() : SingleTileContext{};
    if (!fetch.prepare({m_Edit1->text(), m_Edit2->text(), m_Edit3->text(), m_Edit6->text()},
                       context)) {
        Shell::current().showMessage(this, fetch.message());
        return;
    }

    m_downloading = true;
    ++m_fetchesStarted;
    m_Button1->setEnabled(false);
    setCursor(Qt::BusyCursor);

    // The thread owns its copy of the fetch and the slot for its outcome.
    auto outcome = std::make_shared<QString>();
    m_fetchOutcome = outcome;
    m_fetchThread.start([fetch, outcome] { *outcome = fetch.fetchAndSave(); });
    m_fetchWatch.start();
}

void TfrmSingle::finishDownload()
{
    m_fetchWatch.stop();
    m_fetchThread.join(); // it has finished; this only joins it
    const QString message = *m_fetchOutcome;
    m_fetchOutcome.reset();
    Shell::current().showMessage(this, message);
    unsetCursor();
    m_Button1->setEnabled(true);
    m_downloading = false;
}

void TfrmSingle::Button2Click()
{
    const QString folder =
        Shell::current().browseFolder(this, QStringLiteral("Select path to save"));
    if (!folder.isEmpty())
        m_Edit6->setText(folder);
}

} // namespace tavo
