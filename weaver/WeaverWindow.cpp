#include "weaver/WeaverWindow.h"

#include "weaver/WeaveTask.h"

#include "engine/AppError.h"
#include "engine/IniFile.h"
#include "engine/TextConv.h"
#include "engine/TileTypes.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace tavo::weaver {

namespace {

const QString Section = QStringLiteral("Weaver");

struct FormatChoice
{
    OutputFormat format;
    const char* label;
    const char* suffix;
};
const FormatChoice Formats[] = {
    {OutputFormat::Cog, "GeoTIFF (tiled, with overviews)", "tif"},
    {OutputFormat::Jpeg, "JPEG with world file", "jpg"},
    {OutputFormat::Png, "PNG with world file", "png"},
    {OutputFormat::MbTiles, "MBTiles, every zoom level (tiles unchanged)", "mbtiles"},
    {OutputFormat::GeoPackage, "GeoPackage, every zoom level (tiles unchanged)", "gpkg"},
    {OutputFormat::SqliteDb, "sqlitedb for handheld map apps, every zoom level", "sqlitedb"},
};

QString timeText(double seconds)
{
    if (seconds < 0)
        return QString();
    return durationText(qint64(seconds + 0.5)) + QStringLiteral(" left");
}

} // namespace

WeaverWindow::WeaverWindow(const QString& settingsPath, const QString& placeholderPath,
                           QWidget* parent)
    : QWidget(parent), m_settingsPath(settingsPath), m_placeholderPath(placeholderPath),
      m_project(new QLineEdit(this)), m_output(new QLineEdit(this)),
      m_format(new QComboBox(this)), m_scale(new QComboBox(this)), m_minZoom(new QSpinBox(this)),
      m_start(new QPushButton(tr("Start"), this)), m_cancel(new QPushButton(tr("Cancel"), this)),
      m_progress(new QProgressBar(this)), m_progressText(new QLabel(this)),
      m_summary(new QPlainTextEdit(this)), m_task(new WeaveTask(this))
{
    setWindowTitle(tr("Combine Images - weaver"));
    m_project->setObjectName(QStringLiteral("project"));
    m_output->setObjectName(QStringLiteral("output"));
    m_format->setObjectName(QStringLiteral("format"));
    m_scale->setObjectName(QStringLiteral("scale"));
    m_minZoom->setObjectName(QStringLiteral("minZoom"));
    m_minZoom->setRange(-1, MaxZoom);
    m_minZoom->setSpecialValueText(tr("Down to one tile for the whole job"));
    m_start->setObjectName(QStringLiteral("start"));
    m_cancel->setObjectName(QStringLiteral("cancel"));

    for (const FormatChoice& choice : Formats)
        m_format->addItem(tr(choice.label), int(choice.format));
    m_scale->addItem(tr("Full size"), 1);
    m_scale->addItem(QStringLiteral("1/2"), 2);
    m_scale->addItem(QStringLiteral("1/4"), 4);
    m_scale->addItem(QStringLiteral("1/8"), 8);

    auto* browseProjectButton = new QPushButton(tr("Browse..."), this);
    auto* browseOutputButton = new QPushButton(tr("Browse..."), this);
    auto* projectRow = new QHBoxLayout;
    projectRow->addWidget(m_project, 1);
    projectRow->addWidget(browseProjectButton);
    auto* outputRow = new QHBoxLayout;
    outputRow->addWidget(m_output, 1);
    outputRow->addWidget(browseOutputButton);

    auto* form = new QFormLayout;
    form->addRow(tr("Project file:"), projectRow);
    form->addRow(tr("Output file:"), outputRow);
    form->addRow(tr("Format:"), m_format);
    form->addRow(tr("Scale:"), m_scale);
    form->addRow(tr("Lowest zoom level:"), m_minZoom);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_start);
    buttons->addWidget(m_cancel);

    m_progress->setRange(0, 1);
    m_progress->setValue(0);
    m_summary->setReadOnly(true);
    m_summary->setPlaceholderText(tr("The result appears here."));

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(buttons);
    layout->addWidget(m_progress);
    layout->addWidget(m_progressText);
    layout->addWidget(m_summary, 1);
    resize(640, 380);

    const IniFile ini(m_settingsPath);
    m_project->setText(ini.readString(Section, QStringLiteral("LastProject"), QString()));
    const int formatIndex = m_format->findData(ini.readInteger(Section, QStringLiteral("Format"), 0));
    m_format->setCurrentIndex(qMax(0, formatIndex));
    const int scaleIndex = m_scale->findData(ini.readInteger(Section, QStringLiteral("Scale"), 1));
    m_scale->setCurrentIndex(qMax(0, scaleIndex));
    m_minZoom->setValue(ini.readInteger(Section, QStringLiteral("MinZoom"), -1));
    projectChosen();

    connect(browseProjectButton, &QPushButton::clicked, this, &WeaverWindow::browseProject);
    connect(browseOutputButton, &QPushButton::clicked, this, &WeaverWindow::browseOutput);
    connect(m_project, &QLineEdit::editingFinished, this, &WeaverWindow::projectChosen);
    connect(m_format, &QComboBox::currentIndexChanged, this, &WeaverWindow::formatChanged);
    connect(m_start, &QPushButton::clicked, this, &WeaverWindow::start);
    connect(m_cancel, &QPushButton::clicked, m_task, &WeaveTask::cancel);
    connect(m_task, &WeaveTask::progressed, this, &WeaverWindow::onProgress);
    connect(m_task, &WeaveTask::finished, this, &WeaverWindow::onFinished);
    setRunning(false);
}

WeaverWindow::~WeaverWindow() = default;

bool WeaverWindow::isRunning() const
{
    return m_task->isRunning();
}

OutputFormat WeaverWindow::currentFormat() const
{
    return OutputFormat(m_format->currentData().toInt());
}

void WeaverWindow::browseProject()
{
    const QString path = QFileDialog::getOpenFileName(
        this, tr("Project file"), QFileInfo(m_project->text()).absolutePath(),
        tr("Projects (*.tavo);;All files (*)"));
    if (path.isEmpty())
        return;
    m_project->setText(path);
    m_output->clear();
    projectChosen();
}

void WeaverWindow::browseOutput()
{
    const QString suffix = QString::fromLatin1(Formats[m_format->currentIndex()].suffix);
    const QString path = QFileDialog::getSaveFileName(
        this, tr("Output file"), m_output->text(),
        tr("%1 (*.%2);;All files (*)").arg(m_format->currentText(), suffix));
    if (!path.isEmpty())
        m_output->setText(path);
}

void WeaverWindow::projectChosen()
{
    const QString project = m_project->text().trimmed();
    if (project.isEmpty() || !m_output->text().trimmed().isEmpty())
        return;
    const QFileInfo info(project);
    const QString suffix = QString::fromLatin1(Formats[m_format->currentIndex()].suffix);
    m_output->setText(info.absolutePath() + u'/' + info.completeBaseName() + u'.' + suffix);
}

void WeaverWindow::formatChanged()
{
    // Keep the output's extension in step with the format.
    const QString output = m_output->text().trimmed();
    if (output.isEmpty())
        return projectChosen();
    const QFileInfo info(output);
    const QString suffix = QString::fromLatin1(Formats[m_format->currentIndex()].suffix);
    const QString base = info.suffix().isEmpty()
                             ? output
                             : output.left(output.size() - info.suffix().size() - 1);
    m_output->setText(base + u'.' + suffix);
    if (isTileStore(currentFormat()))
        m_scale->setCurrentIndex(0);
    m_scale->setEnabled(!isTileStore(currentFormat()) && !isRunning());
    m_minZoom->setEnabled(isTileStore(currentFormat()) && !isRunning());
}

void WeaverWindow::start()
{
    if (isRunning())
        return;
    const QString project = m_project->text().trimmed();
    const QString output = m_output->text().trimmed();
    WeaveRequest request;
    QString error;
    if (project.isEmpty())
        error = tr("Choose a project file.");
    else if (output.isEmpty())
        error = tr("Choose an output file.");
    else
        inputFromProject(project, request.input, &error);
    if (error.isEmpty() && isTileStore(currentFormat()) &&
        m_minZoom->value() > request.input.zoom)
        error = tr("The lowest zoom level %1 is above the job's zoom %2.")
                    .arg(m_minZoom->value())
                    .arg(request.input.zoom);
    if (!error.isEmpty()) {
        m_summary->setPlainText(error);
        return;
    }
    if (QFileInfo::exists(output) &&
        QMessageBox::question(this, windowTitle(),
                              tr("%1 exists already. Replace it when the new file is complete?")
                                  .arg(output)) != QMessageBox::Yes)
        return;
    request.outPath = output;
    request.format = currentFormat();
    request.scaleDivisor = m_scale->currentData().toInt();
    if (isTileStore(request.format))
        request.minZoom = m_minZoom->value();
    request.placeholderPath = m_placeholderPath;
    m_request = request;
    saveSettings();

    m_summary->setPlainText(tr("Combining %1 tiles...").arg(request.input.rect.count()));
    m_progress->setRange(0, 1000);
    m_progress->setValue(0);
    m_progressText->setText(tr("0 of %1 tiles").arg(request.input.rect.count()));
    setRunning(true);
    m_task->start(request);
}

void WeaverWindow::onProgress(qint64 done, qint64 total, double secondsLeft)
{
    m_progress->setValue(total > 0 ? int(done * 1000 / total) : 0);
    QString text = tr("%1 of %2 tiles").arg(groupedNumber(done), groupedNumber(total));
    const QString left = timeText(secondsLeft);
    if (!left.isEmpty())
        text += QStringLiteral(", ") + left;
    m_progressText->setText(text);
}

void WeaverWindow::onFinished(const WeaveResult& result)
{
    setRunning(false);
    if (result.ok) {
        m_progress->setValue(m_progress->maximum());
        m_progressText->setText(tr("%1 of %1 tiles, done in %2 s")
                                    .arg(groupedNumber(result.total))
                                    .arg(result.seconds, 0, 'f', 1));
    } else {
        m_progress->setValue(0);
        m_progressText->setText(result.cancelled ? tr("Cancelled") : tr("Failed"));
    }
    m_summary->setPlainText(summaryText(m_request, result, 50));
    emit weaveFinished(result.ok);
}

void WeaverWindow::setRunning(bool running)
{
    m_start->setEnabled(!running);
    m_cancel->setEnabled(running);
    m_project->setEnabled(!running);
    m_output->setEnabled(!running);
    m_format->setEnabled(!running);
    m_scale->setEnabled(!running && !isTileStore(currentFormat()));
    m_minZoom->setEnabled(!running && isTileStore(currentFormat()));
    for (QPushButton* button : findChildren<QPushButton*>())
        if (button != m_start && button != m_cancel)
            button->setEnabled(!running);
}

void WeaverWindow::saveSettings()
{
    try {
        IniFile ini(m_settingsPath);
        ini.writeStrings(Section,
                         {{QStringLiteral("LastProject"), m_project->text().trimmed()},
                          {QStringLiteral("Format"), QString::number(int(currentFormat()))},
                          {QStringLiteral("Scale"), m_scale->currentData().toString()},
                          {QStringLiteral("MinZoom"), QString::number(m_minZoom->value())}});
    } catch (const AppError&) {
        // Settings are a convenience: a read-only folder must not stop the work.
    }
}

void WeaverWindow::closeEvent(QCloseEvent* event)
{
    if (isRunning()) {
        const auto answer = QMessageBox::question(
            this, windowTitle(), tr("Stop combining? The output file will not be written."));
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
        m_task->cancel();
    }
    event->accept();
}

} // namespace tavo::weaver
