#include "dialogs/UpDown.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>

#include <algorithm>

namespace tavo {

UpDown::UpDown(QLineEdit* associate, int minimum, int maximum, int position, QWidget* parent)
    : QWidget(parent), m_associate(associate), m_minimum(std::min(minimum, maximum)),
      m_maximum(std::max(minimum, maximum))
{
    m_upButton = new QToolButton(this);
    m_downButton = new QToolButton(this);
    m_upButton->setArrowType(Qt::UpArrow);
    m_downButton->setArrowType(Qt::DownArrow);
    for (QToolButton* button : {m_upButton, m_downButton}) {
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoRepeat(true);
        button->setIconSize(QSize(7, 7));
    }
    setFocusPolicy(Qt::NoFocus);
    connect(m_upButton, &QToolButton::clicked, this, [this] { stepBy(1); });
    connect(m_downButton, &QToolButton::clicked, this, [this] { stepBy(-1); });

    if (m_associate)
        m_associate->installEventFilter(this);
    setPosition(position);
}

QSize UpDown::sizeHint() const
{
    return QSize(15, 21);
}

int UpDown::clamped(long long value) const
{
    return int(std::clamp<long long>(value, m_minimum, m_maximum));
}

int UpDown::startingPosition() const
{
    if (!m_associate)
        return m_position;
    bool isNumber = false;
    const long long shown = m_associate->text().trimmed().toLongLong(&isNumber);
    return isNumber ? clamped(shown) : m_position;
}

void UpDown::setPosition(int position)
{
    const int newPosition = clamped(position);
    const bool changed = newPosition != m_position;
    m_position = newPosition;
    if (m_associate)
        m_associate->setText(QString::number(m_position));
    if (changed)
        emit positionChanged(m_position);
}

void UpDown::stepBy(int steps)
{
    const long long target = static_cast<long long>(startingPosition()) + steps;
    const int before = m_position;
    const QString shownBefore = m_associate ? m_associate->text() : QString();
    setPosition(clamped(target));
    // setPosition signals against the stored position only; a step that brought a number
    // written from outside back into the limits changes what the user sees, too.
    if (m_position == before && m_associate && m_associate->text() != shownBefore)
        emit positionChanged(m_position);
}

bool UpDown::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_associate && event->type() == QEvent::KeyPress && isEnabled()) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Up) {
            stepBy(1);
            return true;
        }
        if (key->key() == Qt::Key_Down) {
            stepBy(-1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void UpDown::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const int upperHeight = height() / 2;
    m_upButton->setGeometry(0, 0, width(), upperHeight);
    m_downButton->setGeometry(0, upperHeight, width(), height() - upperHeight);
}

} // namespace tavo
