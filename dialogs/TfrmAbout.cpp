#include "dialogs/TfrmAbout.h"

#include "dialogs/Controls.h"
#include "dialogs/Shell.h"
#include "dialogs/WindowStyle.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QShowEvent>

namespace tavo {

namespace {

constexpr int kIconSize = 32;

// The program's picture: a two-by-two block of aerial tiles, water and land.
QPixmap tileIcon()
{
    QPixmap pixmap(kIconSize, kIconSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing, false);
    const QColor fills[] = {QColor(46, 110, 170), QColor(84, 140, 62), QColor(120, 160, 80),
                            QColor(60, 130, 190)};
    for (int row = 0; row < 2; ++row) {
        for (int column = 0; column < 2; ++column)
            painter.fillRect(2 + column * 14, 2 + row * 14, 14, 14, fills[row * 2 + column]);
    }
    painter.setPen(QPen(QColor(240, 240, 240), 1));
    painter.drawLine(16, 2, 16, 29);
    painter.drawLine(2, 16, 29, 16);
    painter.setPen(QPen(QColor(40, 40, 40), 1));
    painter.drawRect(1, 1, 29, 29);
    return pixmap;
}

} // namespace

TfrmAbout::TfrmAbout(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About"));
    setFont(style::windowFont());

    m_label3 = controls::label(this, "Label3", QString(), QRect(16, 18, 236, 20));
    QFont captionFont = style::windowFont();
    captionFont.setPixelSize(14);
    captionFont.setBold(true);
    captionFont.setUnderline(true);
    m_label3->setFont(captionFont);

    m_image1 = controls::label(this, "Image1", QString(), QRect(272, 12, kIconSize, kIconSize));
    m_image1->setPixmap(tileIcon());

    controls::label(this, "Label5", QStringLiteral("Homepage:"), QRect(16, 60, 64, 17));
    m_label4 = controls::label(this, "Label4", QString(), QRect(82, 60, 228, 17));
    controls::label(this, "Label6", QStringLiteral("Email:"), QRect(16, 82, 64, 17));
    m_label7 = controls::label(this, "Label7", QString(), QRect(82, 82, 228, 17));
    for (QLabel* link : {m_label4, m_label7}) {
        style::makeGreen(link);
        style::makeUnderlined(link);
        link->setCursor(Qt::PointingHandCursor);
        link->installEventFilter(this);
    }

    m_bLater = controls::button(this, "bLater", QStringLiteral("&OK"), QRect(122, 114, 75, 25));
    m_bLater->setDefault(true);
    connect(m_bLater, &QPushButton::clicked, this, &QDialog::accept);

    setFixedSize(320, 152);
}

void TfrmAbout::prepare(const QString& mainCaption, const QString& homePageUrl,
                        const QString& contactMailUrl)
{
    m_homePageUrl = homePageUrl;
    m_contactMailUrl = contactMailUrl;
    m_label3->setText(mainCaption);
    m_label4->setText(homePageUrl);
    m_label7->setText(contactMailUrl);
}

bool TfrmAbout::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        if (watched == m_label4) {
            Shell::current().openDocument(m_homePageUrl);
            return true;
        }
        if (watched == m_label7) {
            Shell::current().openDocument(m_contactMailUrl);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TfrmAbout::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        style::centreOnScreen(this);
}

} // namespace tavo
