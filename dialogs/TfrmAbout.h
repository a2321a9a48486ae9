#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace tavo {

// The About box: the main window's caption, the home page and the support mailbox as links, and
// an OK button. Modal; refilled by prepare() before each showing.
class TfrmAbout final : public QDialog
{
    Q_OBJECT
public:
    explicit TfrmAbout(QWidget* parent = nullptr);
    TfrmAbout(const TfrmAbout&) = delete;
    TfrmAbout& operator=(const TfrmAbout&) = delete;

    // Sets the texts that the box shows this time: the main window's caption at the top and the
    // two links. A click on a link opens it with the desktop.
    void prepare(const QString& mainCaption, const QString& homePageUrl,
                 const QString& contactMailUrl);

    QLabel* Label3() const { return m_label3; } // the main window's caption
    QLabel* Label4() const { return m_label4; } // home page link
    QLabel* Label7() const { return m_label7; } // mail link
    QLabel* Image1() const { return m_image1; }
    QPushButton* bLater() const { return m_bLater; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QLabel* m_label3 = nullptr;
    QLabel* m_label4 = nullptr;
    QLabel* m_label7 = nullptr;
    QLabel* m_image1 = nullptr;
    QPushButton* m_bLater = nullptr;
    QString m_homePageUrl;
    QString m_contactMailUrl;
};

} // namespace tavo
