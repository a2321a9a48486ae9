#pragma once

#include <QWidget>

class QLineEdit;
class QToolButton;

namespace tavo {

// Spin arrows attached to a line edit, like a Windows up-down control: each click steps the
// number in the associate by 1 within [minimum, maximum], no wrap-around. Up and Down pressed in
// the associate step it as well.
//
// The associate's text may be changed from outside (start-up writes the default zoom and thread
// count straight into the fields, and those may lie beyond the limits). A step therefore starts
// from the number the associate shows, clamped into the limits; only when the associate holds no
// whole number does it start from the last position. So a field showing 30 with limits 1..8
// goes to 8 on a click up and to 7 on a click down.
class UpDown final : public QWidget
{
    Q_OBJECT
public:
    UpDown(QLineEdit* associate, int minimum, int maximum, int position, QWidget* parent = nullptr);
    UpDown(const UpDown&) = delete;
    UpDown& operator=(const UpDown&) = delete;

    int minimum() const { return m_minimum; }
    int maximum() const { return m_maximum; }
    int position() const { return m_position; }
    QLineEdit* associate() const { return m_associate; }

    // Clamps into the limits and writes the associate's text.
    void setPosition(int position);
    // What a click on the arrows does: +1 for the upper arrow, -1 for the lower one.
    void stepBy(int steps);

    QSize sizeHint() const override;

signals:
    void positionChanged(int position);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    int clamped(long long value) const;
    int startingPosition() const;

    QLineEdit* m_associate = nullptr;
    QToolButton* m_upButton = nullptr;
    QToolButton* m_downButton = nullptr;
    int m_minimum = 0;
    int m_maximum = 100;
    int m_position = 0;
};

} // namespace tavo
