#include "dialogs/TfrmConvert.h"

#include "dialogs/Controls.h"
#include "dialogs/CoordinateEntry.h"
#include "dialogs/Shell.h"
#include "dialogs/WindowStyle.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>

namespace tavo {

namespace {

QGroupBox* addGroup(QWidget* parent, const char* name, const char* labelName,
                    const QString& caption, const QRect& geometry)
{
    auto* group = new QGroupBox(parent);
    group->setObjectName(QLatin1String(name));
    group->setGeometry(geometry);
    controls::label(group, labelName, caption, QRect(12, 14, geometry.width() - 24, 17));
    return group;
}

} // namespace

TfrmConvert::TfrmConvert(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::WindowStaysOnTopHint)
{
    setObjectName(QStringLiteral("frmConvert"));
    setWindowTitle(QStringLiteral("Convert \"Degrees,Minutes,Seconds\" to \"Degrees\""));
    setFont(style::windowFont());
    setModal(false);

    QGroupBox* input = addGroup(this, "GroupBox1", "Label1",
                                QStringLiteral("Degrees, Minutes, Seconds:"), QRect(8, 8, 262, 70));
    m_edit1 = controls::edit(input, "Edit1", QRect(12, 36, 72, 21));
    m_edit2 = controls::edit(input, "Edit2", QRect(95, 36, 72, 21));
    m_edit3 = controls::edit(input, "Edit3", QRect(178, 36, 72, 21));

    m_button1 =
        controls::button(this, "Button1", QStringLiteral("convert"), QRect(280, 43, 80, 25));
    m_button1->setDefault(true);
    connect(m_button1, &QPushButton::clicked, this, &TfrmConvert::Button1Click);

    QGroupBox* output =
        addGroup(this, "GroupBox2", "Label2", QStringLiteral("Degrees:"), QRect(8, 86, 262, 70));
    m_edit4 = controls::edit(output, "Edit4", QRect(12, 36, 238, 21));
    m_edit4->setReadOnly(true);

    QWidget::setTabOrder(m_edit1, m_edit2);
    QWidget::setTabOrder(m_edit2, m_edit3);
    QWidget::setTabOrder(m_edit3, m_button1);
    QWidget::setTabOrder(m_button1, m_edit4);

    setFixedSize(370, 164);
}

void TfrmConvert::Button1Click()
{
    const std::optional<float> degrees =
        ConvertDms(m_edit1->text(), m_edit2->text(), m_edit3->text());
    if (!degrees) {
        Shell::current().showMessage(this, QStringLiteral("Input Error."));
        return;
    }
    m_edit4->setText(FormatConverted(*degrees));
}

void TfrmConvert::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!m_placed && !event->spontaneous()) {
        m_placed = true;
        style::centreOnScreen(this);
    }
}

} // namespace tavo
