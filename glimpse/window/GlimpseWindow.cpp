#include "glimpse/window/GlimpseWindow.h"

#include "engine/SettingsLocation.h"

#include "engine/FileReplacer.h"
#include "engine/IniFile.h"
#include "glimpse/Coverage.h"
#include "glimpse/Texts.h"

#include <QAction>
#include <QGuiApplication>
#include <QScreen>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QRegularExpression>
#include <QStatusBar>

namespace tavo::glimpse {

namespace {

const QString Title = QStringLiteral("Glimpse");

// The local project file among dropped URLs; empty when none.
QString droppedProject(const QMimeData* mime)
{
    if (!mime || !mime->hasUrls())
        return QString();
    for (const QUrl& url : mime->urls())
        if (url.isLocalFile() &&
            url.toLocalFile().endsWith(QStringLiteral(".tavo"), Qt::CaseInsensitive))
            return url.toLocalFile();
    return QString();
}

} // namespace

GlimpseFiles GlimpseFiles::besideExecutable()
{
    const QString folder = QCoreApplication::applicationDirPath() + u'/';
    const QString ini = settingsFolder(folder); // beside us, or the user's own when installed
    return {ini + QStringLiteral("glimpse.ini"), tavo::placeholderPath(folder),
            ini + QStringLiteral("config.ini")};
}

GlimpseWindow::GlimpseWindow(const GlimpseFiles& files, QWidget* parent)
    : QMainWindow(parent), m_files(files), m_document(files.placeholderPath)
{
    setWindowTitle(Title);
    setAcceptDrops(true);
    m_map = new MapWidget(m_document, m_cache, this);
    setCentralWidget(m_map);
    m_map->setFocus(); // arrows, + and - work at once

    m_pointerLabel = new QLabel(this);
    m_pointerLabel->setObjectName(QStringLiteral("pointer"));
    m_countsLabel = new QLabel(this);
    m_countsLabel->setObjectName(QStringLiteral("counts"));
    // Each its own section: the counts as wide as their text, the readout in
    // the rest, shortened to fit there (showPointerText).
    m_pointerLabel->setMinimumWidth(0);
    m_pointerLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_pointerLabel->installEventFilter(this);
    statusBar()->addWidget(m_pointerLabel, 1);
    statusBar()->addPermanentWidget(m_countsLabel);

    buildMenus();
    connect(&m_document, &JobDocument::scanProgress, this, &GlimpseWindow::updateCounts);
    connect(&m_document, &JobDocument::scanFinished, this, &GlimpseWindow::updateCounts);
    connect(m_map, &MapWidget::pointerMoved, this, &GlimpseWindow::updatePointer);
    // 1280 x 820, or less on a smaller screen: the status bar must stay in view.
    QSize size(1280, 820);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        size = size.boundedTo(screen->availableGeometry().size() * 9 / 10);
    resize(size);
}

GlimpseWindow::~GlimpseWindow()
{
    // The map refers to the document and the cache: it goes before them.
    delete m_map;
}

void GlimpseWindow::buildMenus()
{
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    QAction* open =
        file->addAction(QStringLiteral("&Open project..."), this, &GlimpseWindow::chooseProject);
    open->setShortcut(QKeySequence::Open);
    QAction* reload = file->addAction(QStringLiteral("&Reload"), this, [this] {
        // Tiles may have changed since they were decoded (a job still running).
        m_cache.setFolder(m_document.info().imageFolder);
        m_document.rescan();
    });
    reload->setShortcut(QKeySequence(Qt::Key_F5));
    file->addSeparator();
    QAction* quit = file->addAction(QStringLiteral("E&xit"), this, &QWidget::close);
    quit->setShortcut(QKeySequence::Quit);

    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    // Both keys shown: the menu would name only the first.
    QAction* fit = view->addAction(QStringLiteral("&Fit to window\tCtrl+0, Home"), m_map,
                                   &MapWidget::fitToWindow);
    fit->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_0), QKeySequence(Qt::Key_Home)});
    QAction* in =
        view->addAction(QStringLiteral("Zoom &in"), this, [this] { m_map->zoomStep(2.0); });
    in->setShortcuts(QKeySequence::ZoomIn); // + and - alone: MapWidget
    QAction* out =
        view->addAction(QStringLiteral("Zoom &out"), this, [this] { m_map->zoomStep(0.5); });
    out->setShortcuts(QKeySequence::ZoomOut);

    QMenu* tools = menuBar()->addMenu(QStringLiteral("&Tools"));
    tools->addAction(QStringLiteral("Copy area to the clipboard"), this,
                     [this] { copyAreaToClipboard(); });
    tools->addAction(QStringLiteral("Export view as PNG..."), this, [this] {
        // A dialog of its own: the ".png" it adds is covered by its overwrite question.
        QFileDialog dialog(this, QStringLiteral("Export view as PNG"));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setNameFilter(QStringLiteral("PNG image (*.png)"));
        dialog.setDefaultSuffix(QStringLiteral("png"));
        if (m_document.isOpen()) {
            dialog.setDirectory(m_document.info().saveFolder);
            dialog.selectFile(m_document.info().projectBase + QStringLiteral(".png"));
        }
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            exportView(dialog.selectedFiles().first());
    });
}

void GlimpseWindow::showMessage(const QString& text)
{
    if (m_messageSink)
        m_messageSink(text);
    else
        QMessageBox::warning(this, Title, text);
}

bool GlimpseWindow::openProject(const QString& path)
{
    QString error;
    if (!m_document.open(path, &error)) {
        showMessage(error);
        return false;
    }
    m_settingsWriter.write(m_files.iniPath, QFileInfo(path).absoluteFilePath());
    setWindowTitle(QStringLiteral("%1 - %2").arg(QFileInfo(path).fileName(), Title));
    m_pointerText.clear();
    m_pointerLabel->clear();
    updateCounts();
    if (!QFileInfo(m_document.info().imageFolder).isDir())
        showMessage(QStringLiteral("The image folder %1 does not exist: every tile is missing.")
                        .arg(QDir::toNativeSeparators(m_document.info().imageFolder)));
    return true;
}

void GlimpseWindow::chooseProject()
{
    // Start in the folder of the last project, else in the downloader's save folder.
    QString folder;
    const QString last = readLastProject(m_files.iniPath);
    if (!last.isEmpty())
        folder = QFileInfo(last).absolutePath();
    else if (QFileInfo(m_files.downloaderIniPath).isFile())
        folder =
            IniFile(m_files.downloaderIniPath)
                .readString(QStringLiteral("IniParas"), QStringLiteral("DefaultPath"), QString());
    const QString path =
        QFileDialog::getOpenFileName(this, QStringLiteral("Open project"), folder,
                                     QStringLiteral("Tavo projects (*.tavo);;All files (*)"));
    if (!path.isEmpty())
        openProject(path);
}

void GlimpseWindow::openAtStart(const QStringList& arguments)
{
    if (!arguments.isEmpty()) {
        openProject(arguments.first());
        return;
    }
    const QString last = readLastProject(m_files.iniPath);
    if (!last.isEmpty() && QFileInfo(last).isFile() && openProject(last))
        return;
    chooseProject();
}

bool GlimpseWindow::copyAreaToClipboard()
{
    if (!m_document.isOpen())
        return false;
    const QString text = areaText(m_map->view().visibleArea());
    QApplication::clipboard()->setText(text);
    statusBar()->showMessage(
        QStringLiteral("Copied: %1").arg(QString(text).replace(u'\t', QStringLiteral(", "))), 5000);
    return true;
}

bool GlimpseWindow::exportView(const QString& path)
{
    // Encoded in memory, then put in place whole: a failed write never
    // leaves a torn file where the user's file was.
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!m_map->renderImage().save(&buffer, "PNG") || !FileReplacer::replace(path, bytes)) {
        showMessage(QStringLiteral("Cannot write %1.").arg(QDir::toNativeSeparators(path)));
        return false;
    }
    statusBar()->showMessage(QStringLiteral("Saved %1").arg(QDir::toNativeSeparators(path)), 5000);
    return true;
}

QString GlimpseWindow::countsLabelText() const
{
    return m_countsLabel->text();
}

QString GlimpseWindow::pointerLabelText() const
{
    return m_pointerText;
}

void GlimpseWindow::updateCounts()
{
    if (const ScanResult* result = m_document.result(); result && !m_document.scanning())
        m_countsLabel->setText(countsText(result->scan));
    else if (m_document.isOpen())
        m_countsLabel->setText(QStringLiteral("Reading the files... %1 of %2")
                                   .arg(countLocale().toString(m_document.scanDone()),
                                        countLocale().toString(m_document.scanTotal())));
    else
        m_countsLabel->clear();
    // Never squeezed by the readout beside it.
    m_countsLabel->setMinimumWidth(
        m_countsLabel->fontMetrics().horizontalAdvance(m_countsLabel->text()) + 8);
}

void GlimpseWindow::updatePointer(const QPointF& point, bool inside)
{
    if (!inside || !m_document.isOpen()) {
        m_pointerText.clear();
        m_pointerLabel->clear();
        return;
    }
    const ScanResult* result = m_document.result();
    m_pointerText = pointText(m_map->view(), point, result ? &result->scan : nullptr);
    showPointerText();
}

void GlimpseWindow::showPointerText()
{
    // Where the section is too narrow for the whole readout, the quadkey goes
    // first, then the file name; the tile's state stays to the last.
    QString text = m_pointerText;
    const QFontMetrics metrics = m_pointerLabel->fontMetrics();
    const int room = m_pointerLabel->contentsRect().width();
    static const QRegularExpression parts[] = {
        QRegularExpression(QStringLiteral("; quadkey [0-3]*")),
        QRegularExpression(QStringLiteral("; [0-9]+_[0-9]+\\.jpg")),
    };
    for (const QRegularExpression& part : parts) {
        if (metrics.horizontalAdvance(text) <= room)
            break;
        text.remove(part);
    }
    m_pointerLabel->setText(metrics.elidedText(text, Qt::ElideMiddle, room));
    m_pointerLabel->setToolTip(m_pointerText);
}

bool GlimpseWindow::eventFilter(QObject* watched, QEvent* event)
{
    // The readout's section changes with the window and the counts beside it.
    if (watched == m_pointerLabel && event->type() == QEvent::Resize && !m_pointerText.isEmpty())
        showPointerText();
    return QMainWindow::eventFilter(watched, event);
}

void GlimpseWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (!droppedProject(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void GlimpseWindow::dropEvent(QDropEvent* event)
{
    const QString path = droppedProject(event->mimeData());
    if (path.isEmpty())
        return;
    event->acceptProposedAction();
    openProject(path);
}

} // namespace tavo::glimpse
