#include "dialogs/TfrmOptions.h"

#include "dialogs/WindowStyle.h"

#include "dialogs/Controls.h"
#include "dialogs/Shell.h"
#include "engine/AppError.h"
#include "files/Settings.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFrame>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>

#include <algorithm>

namespace tavo {

TfrmOptions::TfrmOptions(QWidget* parent)
    : QDialog(parent),
      m_settingsPath(QCoreApplication::applicationDirPath() + QStringLiteral("/ini/config.ini"))
{
    setObjectName(QStringLiteral("frmOptions"));
    setWindowTitle(QStringLiteral("Options"));
    setFont(style::windowFont());
    setWindowFlags((windowFlags() | Qt::MSWindowsFixedSizeDialogHint) &
                   ~Qt::WindowContextHelpButtonHint);
    setFixedSize(528, 413);
    setSizeGripEnabled(false);
    createControls();
    arrangeTabOrder();
}

void TfrmOptions::createControls()
{
    // The job defaults, in a sunken panel at the top.
    m_Panel1 = new QFrame(this);
    m_Panel1->setObjectName(QStringLiteral("Panel1"));
    m_Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_Panel1->setGeometry(8, 8, 512, 184);

    m_Label1 = controls::label(m_Panel1, "Label1", QStringLiteral("Default path to save :"),
                               QPoint(16, 14));
    m_Edit12 = controls::edit(m_Panel1, "Edit12", QRect(16, 34, 440, 23));
    m_Button3 =
        controls::button(m_Panel1, "Button3", QStringLiteral("..."), QRect(462, 33, 33, 25));
    connect(m_Button3, &QPushButton::clicked, this, &TfrmOptions::Button3Click);

    m_Label2 =
        controls::label(m_Panel1, "Label2", QStringLiteral("Default zoom level:"), QPoint(16, 76));
    m_Edit10 = controls::edit(m_Panel1, "Edit10", QRect(184, 72, 56, 23));
    m_Edit10->setReadOnly(true);
    m_Edit10->setText(QStringLiteral("13"));
    m_UpDown2 = controls::upDown(m_Edit10, "UpDown2", 1, 25, 13, QRect(240, 72, 16, 23));

    m_Label3 = controls::label(m_Panel1, "Label3", QStringLiteral("Default threads count:"),
                               QPoint(16, 110));
    m_Edit2 = controls::edit(m_Panel1, "Edit2", QRect(184, 106, 56, 23));
    m_Edit2->setReadOnly(true);
    m_Edit2->setText(QStringLiteral("1"));
    m_UpDown1 = controls::upDown(m_Edit2, "UpDown1", 1, 64, 1, QRect(240, 106, 16, 23));

    m_Label4 = controls::label(m_Panel1, "Label4", QStringLiteral("Sleep:"), QPoint(16, 144));
    m_Edit1 = controls::edit(m_Panel1, "Edit1", QRect(184, 140, 56, 23));
    m_Edit1->setText(QStringLiteral("0"));
    m_UpDown3 = controls::upDown(m_Edit1, "UpDown3", 0, 600, 0, QRect(240, 140, 16, 23));
    m_Label5 = controls::label(m_Panel1, "Label5", QStringLiteral("( Seconds)"), QPoint(264, 144));

    // The proxy, in its group below the panel.
    m_GroupBox1 = new QGroupBox(QStringLiteral("Proxy settings"), this);
    m_GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    m_GroupBox1->setGeometry(8, 200, 512, 168);

    m_CheckBoxUseProxy = new QCheckBox(QStringLiteral("Use proxy server"), m_GroupBox1);
    m_CheckBoxUseProxy->setObjectName(QStringLiteral("CheckBoxUseProxy"));
    m_CheckBoxUseProxy->move(16, 24);
    m_CheckBoxUseProxy->adjustSize();

    m_Label6 = controls::label(m_GroupBox1, "Label6", QStringLiteral("Proxy Server Name (IP)"),
                               QPoint(16, 56));
    m_EditProxyServer = controls::edit(m_GroupBox1, "EditProxyServer", QRect(184, 52, 312, 23));
    m_Label7 = controls::label(m_GroupBox1, "Label7", QStringLiteral("Proxy Port"), QPoint(16, 84));
    m_EditProxyPort = controls::edit(m_GroupBox1, "EditProxyPort", QRect(184, 80, 88, 23));
    m_Label8 =
        controls::label(m_GroupBox1, "Label8", QStringLiteral("Proxy Username"), QPoint(16, 112));
    m_EditProxyUsername =
        controls::edit(m_GroupBox1, "EditProxyUsername", QRect(184, 108, 176, 23));
    m_Label9 =
        controls::label(m_GroupBox1, "Label9", QStringLiteral("Proxy Password"), QPoint(16, 140));
    m_EditProxyPassword =
        controls::edit(m_GroupBox1, "EditProxyPassword", QRect(184, 136, 176, 23));
    // The password is shown in clear text, as typed.
    m_EditProxyPassword->setEchoMode(QLineEdit::Normal);

    // The input format lives in the settings file but is never offered here: the group stays
    // hidden and OK writes back what was read.
    m_RadioGroup1 = new QGroupBox(QStringLiteral("Input Lat/Long "), this);
    m_RadioGroup1->setObjectName(QStringLiteral("RadioGroup1"));
    m_RadioGroup1->setGeometry(8, 372, 320, 40);
    m_RadioDegrees = new QRadioButton(QStringLiteral("Degrees"), m_RadioGroup1);
    m_RadioDegrees->setObjectName(QStringLiteral("RadioGroup1Item0"));
    m_RadioDegrees->move(8, 18);
    m_RadioDegrees->adjustSize();
    m_RadioDms = new QRadioButton(QStringLiteral("Degrees,Minutes,Seconds"), m_RadioGroup1);
    m_RadioDms->setObjectName(QStringLiteral("RadioGroup1Item1"));
    m_RadioDms->move(164, 18);
    m_RadioDms->adjustSize();
    m_RadioDegrees->setChecked(true);
    m_RadioGroup1->setVisible(false);

    m_Button1 = controls::button(this, "Button1", QStringLiteral("OK"), QRect(352, 378, 80, 27));
    m_Button1->setDefault(true);
    connect(m_Button1, &QPushButton::clicked, this, &TfrmOptions::Button1Click);
    m_Button2 =
        controls::button(this, "Button2", QStringLiteral("Cancel"), QRect(440, 378, 80, 27));
    connect(m_Button2, &QPushButton::clicked, this, &TfrmOptions::Button2Click);
}

void TfrmOptions::arrangeTabOrder()
{
    // Through the panel, then OK and Cancel, then the proxy group (password before user name).
    QWidget* const order[] = {m_Edit12,
                              m_Button3,
                              m_Edit10,
                              m_Edit2,
                              m_Edit1,
                              m_Button1,
                              m_Button2,
                              m_CheckBoxUseProxy,
                              m_EditProxyServer,
                              m_EditProxyPort,
                              m_EditProxyPassword,
                              m_EditProxyUsername};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        QWidget::setTabOrder(order[i], order[i + 1]);
}

void TfrmOptions::setSettingsPath(const QString& path)
{
    m_settingsPath = path;
}

void TfrmOptions::showEvent(QShowEvent* event)
{
    // Refill on every showing by the program, not when the window manager merely restores it.
    if (!event->spontaneous())
        FormShow();
    QDialog::showEvent(event);
}

void TfrmOptions::FormShow()
{
    const OptionsValues values = readOptionsValues(m_settingsPath);
    // Numbers go in as text: a stored value beyond a spin button's limits shows unchanged.
    m_Edit12->setText(values.defaultPath);
    m_Edit10->setText(QString::number(values.defaultZoom));
    m_Edit2->setText(QString::number(values.defaultThreadCount));
    m_Edit1->setText(QString::number(values.sleepSeconds));
    setRadioGroup1ItemIndex(values.inputFormat);
    m_CheckBoxUseProxy->setChecked(values.proxy.useProxy);
    m_EditProxyServer->setText(values.proxy.server);
    m_EditProxyPort->setText(values.proxy.port);
    m_EditProxyUsername->setText(values.proxy.username);
    m_EditProxyPassword->setText(values.proxy.password);
}

int TfrmOptions::RadioGroup1ItemIndex() const
{
    if (m_RadioDegrees->isChecked())
        return 0;
    if (m_RadioDms->isChecked())
        return 1;
    return -1;
}

void TfrmOptions::setRadioGroup1ItemIndex(int index)
{
    // A radio group's index stays between -1 (nothing selected) and its last item.
    index = std::clamp(index, -1, 1);
    if (index < 0) {
        for (QRadioButton* item : {m_RadioDegrees, m_RadioDms}) {
            item->setAutoExclusive(false);
            item->setChecked(false);
            item->setAutoExclusive(true);
        }
        return;
    }
    (index == 0 ? m_RadioDegrees : m_RadioDms)->setChecked(true);
}

void TfrmOptions::Button1Click()
{
    OptionsTexts texts;
    texts.defaultPath = m_Edit12->text();
    texts.defaultZoom = m_Edit10->text();
    texts.defaultThreadCount = m_Edit2->text();
    texts.sleepSeconds = m_Edit1->text();
    texts.inputFormat = RadioGroup1ItemIndex();
    texts.useProxy = m_CheckBoxUseProxy->isChecked();
    texts.proxyServer = m_EditProxyServer->text();
    texts.proxyPort = m_EditProxyPort->text();
    texts.proxyUsername = m_EditProxyUsername->text();
    texts.proxyPassword = m_EditProxyPassword->text();
    try {
        writeOptions(m_settingsPath, texts);
    } catch (const AppError& error) {
        // What was written before the failing key stays written; the dialog stays open.
        Shell::current().showMessage(this, error.text());
        return;
    }
    accept();
}

void TfrmOptions::Button2Click()
{
    reject();
}

void TfrmOptions::Button3Click()
{
    const QString folder =
        Shell::current().browseFolder(this, QStringLiteral("Select path to save"));
    if (!folder.isEmpty())
        m_Edit12->setText(folder);
}

} // namespace tavo
