#pragma once

#include <QDialog>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tavo {

// The degree converter: degrees, minutes and seconds in, decimal degrees out. A tool window that
// stays on top and does not block the main window; Enter presses "convert".
class TfrmConvert final : public QDialog
{
    Q_OBJECT
public:
    explicit TfrmConvert(QWidget* parent = nullptr);
    TfrmConvert(const TfrmConvert&) = delete;
    TfrmConvert& operator=(const TfrmConvert&) = delete;

    QLineEdit* Edit1() const { return m_edit1; } // degrees
    QLineEdit* Edit2() const { return m_edit2; } // minutes
    QLineEdit* Edit3() const { return m_edit3; } // seconds
    QLineEdit* Edit4() const { return m_edit4; } // result, read-only
    QPushButton* Button1() const { return m_button1; }

    // The press of "convert": the result into Edit4, or "Input Error." when degrees or minutes
    // are not whole numbers (Edit4 then keeps its text).
    void Button1Click();

protected:
    void showEvent(QShowEvent* event) override;

private:
    QLineEdit* m_edit1 = nullptr;
    QLineEdit* m_edit2 = nullptr;
    QLineEdit* m_edit3 = nullptr;
    QLineEdit* m_edit4 = nullptr;
    QPushButton* m_button1 = nullptr;
    bool m_placed = false;
};

} // namespace tavo
