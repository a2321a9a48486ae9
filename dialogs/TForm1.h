#pragma once

#include <QMainWindow>

class QAction;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTimer;

namespace tavo {

class UpDown;

// What the main window reports. Implemented by the main window's controller; every default
// does nothing.
class TForm1Handler
{
public:
    virtual ~TForm1Handler() = default;
    virtual void FormShow() {} // the first show only (once per process)
    virtual void BitBtn1Click() {}
    virtual void Button1Click() {} // "..." folder browser beside Edit6
    virtual void Button2Click() {} // "Open project ..."
    virtual void Timer1Timer() {}
    virtual void LoadParametersfromprojectfilel1Click() {} // File > Open project... (Ctrl+O)
    virtual void Exit1Click() {}
    // The window is being closed (title bar or a call to close()); false keeps it open.
    virtual bool FormCloseQuery() { return true; }
    virtual void Options1Click() {}
    virtual void Convert1Click() {}
    virtual void Viewlognow1Click() {} // F12
    virtual void SatelliteImagesViewer1Click() {}
    virtual void CombineImages1Click() {}
    virtual void Downloadsingleimage1Click() {}
    virtual void Fetchmissing1Click() {} // Tools > Fetch missing tiles again
    virtual void SelectArea1Click() {}   // Tools > Select area on map... (Ctrl+M)
    // The area, zoom or thread count was changed (typed, stepped or filled in).
    virtual void JobFieldsChanged() {}
    virtual void Usermanual1Click() {}
    virtual void Homepage1Click() {}
    virtual void About1Click() {}
};

// The main window: the fields of a download job, the Download/Stop button, the status labels,
// the log window, the status bar and the menu bar. It only lays the controls out and forwards
// their events to the handler.
class TForm1 final : public QMainWindow
{
    Q_OBJECT
public:
    // Client area below the menu bar, and its three bands from top to bottom.
    static constexpr int kClientWidth = 496;
    static constexpr int kClientHeight = 463;
    static constexpr int kPanelHeight = 295;
    static constexpr int kMemoHeight = 149;
    static constexpr int kStatusBarHeight = 19;

    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // Events before a handler is set do nothing. The caller keeps ownership.
    void setHandler(TForm1Handler* handler) { m_handler = handler; }
    TForm1Handler* handler() const { return m_handler; }

    // The text of the status bar; it never changes.
    static QString statusBarText();

    QFrame* Panel1() const { return m_panel1; }
    QGroupBox* GroupBox4() const { return m_groupBox4; }
    QLineEdit* Edit1() const { return m_edit1; }
    QLineEdit* Edit2() const { return m_edit2; }
    QLineEdit* Edit3() const { return m_edit3; }
    QLineEdit* Edit4() const { return m_edit4; }
    QLineEdit* Edit5() const { return m_edit5; }
    QLineEdit* Edit6() const { return m_edit6; }
    QLineEdit* Edit10() const { return m_edit10; }
    QLineEdit* Edit11() const { return m_edit11; }
    UpDown* UpDown1() const { return m_upDown1; }
    UpDown* UpDown2() const { return m_upDown2; }
    QPushButton* Button1() const { return m_button1; }
    QPushButton* Button2() const { return m_button2; }
    QPushButton* BitBtn1() const { return m_bitBtn1; }
    QLabel* Label14() const { return m_label14; }
    QLabel* Label15() const { return m_label15; }
    QLabel* LabelSTXT() const { return m_labelSTXT; }
    QWidget* PanelDMS() const { return m_panelDMS; }
    QPlainTextEdit* Memo1() const { return m_memo1; }
    QStatusBar* StatusBar1() const { return m_statusBar1; }
    QTimer* Timer1() const { return m_timer1; }
    // Added to the status bar, right of its fixed text: a running job's
    // progress (hidden while no job runs) and the job figures.
    QProgressBar* JobProgressBar() const { return m_jobProgressBar; }
    QLabel* JobStatusText() const { return m_jobStatusText; }

    QAction* LoadParametersfromprojectfilel1() const { return m_loadParametersfromprojectfilel1; }
    QAction* Saveprojectas1() const { return m_saveprojectas1; }
    QAction* Saveproject1() const { return m_saveproject1; }
    QAction* Exit1() const { return m_exit1; }
    QAction* Options1() const { return m_options1; }
    QAction* Convert1() const { return m_convert1; }
    QAction* Viewlognow1() const { return m_viewlognow1; }
    QAction* SatelliteImagesViewer1() const { return m_satelliteImagesViewer1; }
    QAction* CombineImages1() const { return m_combineImages1; }
    QAction* Downloadsingleimage1() const { return m_downloadsingleimage1; }
    QAction* Fetchmissing1() const { return m_fetchmissing1; }
    QAction* SelectArea1() const { return m_selectArea1; }
    QAction* Usermanual1() const { return m_usermanual1; }
    QAction* Homepage1() const { return m_homepage1; }
    QAction* About1() const { return m_about1; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildMenus();
    void buildPanel();
    void buildJobFields();
    void buildDmsPanel();
    void buildLogAndStatusBar();
    void buildTabOrder();
    QAction* addMenuItem(QMenu* menu, const char* name, const QString& caption,
                         void (TForm1Handler::*event)());

    TForm1Handler* m_handler = nullptr;
    bool m_shown = false;

    QFrame* m_panel1 = nullptr;
    QGroupBox* m_groupBox4 = nullptr;
    QLineEdit* m_edit1 = nullptr;
    QLineEdit* m_edit2 = nullptr;
    QLineEdit* m_edit3 = nullptr;
    QLineEdit* m_edit4 = nullptr;
    QLineEdit* m_edit5 = nullptr;
    QLineEdit* m_edit6 = nullptr;
    QLineEdit* m_edit10 = nullptr;
    QLineEdit* m_edit11 = nullptr;
    UpDown* m_upDown1 = nullptr;
    UpDown* m_upDown2 = nullptr;
    QPushButton* m_button1 = nullptr;
    QPushButton* m_button2 = nullptr;
    QPushButton* m_bitBtn1 = nullptr;
    QLabel* m_label14 = nullptr;
    QLabel* m_label15 = nullptr;
    QLabel* m_labelSTXT = nullptr;
    QWidget* m_panelDMS = nullptr;
    QPlainTextEdit* m_memo1 = nullptr;
    QStatusBar* m_statusBar1 = nullptr;
    QTimer* m_timer1 = nullptr;
    QProgressBar* m_jobProgressBar = nullptr;
    QLabel* m_jobStatusText = nullptr;

    QAction* m_loadParametersfromprojectfilel1 = nullptr;
    QAction* m_saveprojectas1 = nullptr;
    QAction* m_saveproject1 = nullptr;
    QAction* m_exit1 = nullptr;
    QAction* m_options1 = nullptr;
    QAction* m_convert1 = nullptr;
    QAction* m_viewlognow1 = nullptr;
    QAction* m_satelliteImagesViewer1 = nullptr;
    QAction* m_combineImages1 = nullptr;
    QAction* m_downloadsingleimage1 = nullptr;
    QAction* m_fetchmissing1 = nullptr;
    QAction* m_selectArea1 = nullptr;
    QAction* m_usermanual1 = nullptr;
    QAction* m_homepage1 = nullptr;
    QAction* m_about1 = nullptr;
};

} // namespace tavo
