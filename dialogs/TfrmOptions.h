#pragma once

#include <QDialog>
#include <QString>

class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QShowEvent;

namespace tavo {

class UpDown;

// The Options dialog: the defaults for a new job (save folder, zoom, thread count), the pause
// after each tile and the HTTP proxy, all kept in the settings file. It works on that file only:
// every showing refills the controls from it, OK writes them back, Cancel and the title bar
// write nothing.
class TfrmOptions final : public QDialog
{
    Q_OBJECT
public:
    explicit TfrmOptions(QWidget* parent = nullptr);
    TfrmOptions(const TfrmOptions&) = delete;
    TfrmOptions& operator=(const TfrmOptions&) = delete;

    // The settings file read at every showing and written by OK; ini/config.ini beside the
    // executable unless set otherwise.
    void setSettingsPath(const QString& path);
    QString settingsPath() const { return m_settingsPath; }

    // The hidden input-format choice: 0 decimal degrees, 1 degrees/minutes/seconds, -1 none.
    int RadioGroup1ItemIndex() const;

public slots:
    void Button1Click(); // "OK": write the settings and close
    void Button2Click(); // "Cancel": close without writing
    void Button3Click(); // "...": choose the default folder

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormShow();
    void createControls();
    void arrangeTabOrder();
    void setRadioGroup1ItemIndex(int index);

    QString m_settingsPath;

    QFrame* m_Panel1 = nullptr;
    QLabel* m_Label1 = nullptr;
    QLineEdit* m_Edit12 = nullptr;
    QPushButton* m_Button3 = nullptr;
    QLabel* m_Label2 = nullptr;
    QLineEdit* m_Edit10 = nullptr;
    UpDown* m_UpDown2 = nullptr;
    QLabel* m_Label3 = nullptr;
    QLineEdit* m_Edit2 = nullptr;
    UpDown* m_UpDown1 = nullptr;
    QLabel* m_Label4 = nullptr;
    QLineEdit* m_Edit1 = nullptr;
    UpDown* m_UpDown3 = nullptr;
    QLabel* m_Label5 = nullptr;

    QGroupBox* m_GroupBox1 = nullptr;
    QCheckBox* m_CheckBoxUseProxy = nullptr;
    QLabel* m_Label6 = nullptr;
    QLineEdit* m_EditProxyServer = nullptr;
    QLabel* m_Label7 = nullptr;
    QLineEdit* m_EditProxyPort = nullptr;
    QLabel* m_Label8 = nullptr;
    QLineEdit* m_EditProxyUsername = nullptr;
    QLabel* m_Label9 = nullptr;
    QLineEdit* m_EditProxyPassword = nullptr;

    QGroupBox* m_RadioGroup1 = nullptr;
    QRadioButton* m_RadioDegrees = nullptr;
    QRadioButton* m_RadioDms = nullptr;

    QPushButton* m_Button1 = nullptr;
    QPushButton* m_Button2 = nullptr;
};

} // namespace tavo
