#pragma once

#include "weaver/Weave.h"

#include <QWidget>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace tavo::weaver {

class WeaveTask;

// The window weaver shows when started without arguments: pick a project
// and an output, Start, watch the progress, read what was left out.
// Remembers the last project, output folder, format, scale and lowest zoom in its
// settings file (ini/weaver.ini beside the program).
class WeaverWindow final : public QWidget
{
    Q_OBJECT

public:
    WeaverWindow(const QString& settingsPath, const QString& placeholderPath,
                 QWidget* parent = nullptr);
    ~WeaverWindow() override;

    // For tests and the file dialogs alike.
    QLineEdit* projectEdit() const { return m_project; }
    QLineEdit* outputEdit() const { return m_output; }
    QComboBox* formatBox() const { return m_format; }
    QComboBox* scaleBox() const { return m_scale; }
    // Tile stores: the lowest zoom level; -1 for the level where the job is one tile.
    QSpinBox* minZoomBox() const { return m_minZoom; }
    QPushButton* startButton() const { return m_start; }
    QPushButton* cancelButton() const { return m_cancel; }
    QProgressBar* progressBar() const { return m_progress; }
    QLabel* progressLabel() const { return m_progressText; }
    QPlainTextEdit* summaryView() const { return m_summary; }
    bool isRunning() const;

signals:
    void weaveFinished(bool ok);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void browseProject();
    void browseOutput();
    void projectChosen();
    void formatChanged();
    void start();
    void onProgress(qint64 done, qint64 total, double secondsLeft);
    void onFinished(const WeaveResult& result);
    void setRunning(bool running);
    void saveSettings();
    OutputFormat currentFormat() const;

    QString m_settingsPath;
    QString m_placeholderPath;
    QLineEdit* m_project;
    QLineEdit* m_output;
    QComboBox* m_format;
    QComboBox* m_scale;
    QSpinBox* m_minZoom;
    QPushButton* m_start;
    QPushButton* m_cancel;
    QProgressBar* m_progress;
    QLabel* m_progressText;
    QPlainTextEdit* m_summary;
    WeaveTask* m_task;
    WeaveRequest m_request;
};

} // namespace tavo::weaver
