#include "dialogs/TForm1.h"

#include "dialogs/Controls.h"
#include "dialogs/WindowStyle.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QStatusBar>
#include <QTimer>

namespace tavo {

namespace {

// A label that shows as much of its text as fits, ended by "...", and the
// whole text as its tool tip; it never asks for more room than it has.
class ElidedLabel final : public QLabel
{
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        const QRect area = contentsRect();
        const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, area.width());
        setToolTip(shown == text() ? QString() : text());
        painter.drawText(area, int(Qt::AlignLeft | Qt::AlignVCenter), shown);
    }
};

} // namespace

TForm1::TForm1(QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Tavo 5.7"));
    setFont(style::windowFont());

    buildMenus();
    buildPanel();
    buildJobFields();
    buildDmsPanel();
    buildLogAndStatusBar();
    buildTabOrder();

    m_timer1 = new QTimer(this);
    m_timer1->setObjectName(QStringLiteral("Timer1"));
    m_timer1->setInterval(1000);
    // A second, not "about a second": Qt's default timer may move a tick by
    // up to 5 % (50 ms) to bundle wake-ups.
    m_timer1->setTimerType(Qt::PreciseTimer);
    connect(m_timer1, &QTimer::timeout, this, [this] {
        if (m_handler)
            m_handler->Timer1Timer();
    });

    // The size follows from the fixed bands below the menu bar; the user cannot change it.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

TForm1::~TForm1() = default;

QString TForm1::statusBarText()
{
    return QStringLiteral("Tavo - http://www.tavosoft.net");
}

QAction* TForm1::addMenuItem(QMenu* menu, const char* name, const QString& caption,
                             void (TForm1Handler::*event)())
{
    auto* action = new QAction(caption, this);
    action->setObjectName(QLatin1String(name));
    action->setShortcutContext(Qt::WindowShortcut);
    if (event) {
        connect(action, &QAction::triggered, this, [this, event] {
            if (m_handler)
                (m_handler->*event)();
        });
    }
    menu->addAction(action);
    return action;
}

void TForm1::buildMenus()
{
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu1"));
    bar->setNativeMenuBar(false);

    int separatorCount = 0;
    const auto addSeparator = [&separatorCount](QMenu* menu) {
        QAction* separator = menu->addSeparator();
        separator->setObjectName(QStringLiteral("N%1").arg(++separatorCount));
    };

    QMenu* file = bar->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("File1"));
    m_loadParametersfromprojectfilel1 =
        addMenuItem(file, "LoadParametersfromprojectfilel1", QStringLiteral("Open project..."),
                    &TForm1Handler::LoadParametersfromprojectfilel1Click);
    m_loadParametersfromprojectfilel1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    // Two items that are never shown and do nothing; Ctrl+S stays without effect.
    m_saveprojectas1 =
        addMenuItem(file, "Saveprojectas1", QStringLiteral("Save project as..."), nullptr);
    m_saveprojectas1->setVisible(false);
    m_saveproject1 = addMenuItem(file, "Saveproject1", QStringLiteral("Save project"), nullptr);
    m_saveproject1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    m_saveproject1->setVisible(false);
    addSeparator(file);
    m_exit1 = addMenuItem(file, "Exit1", QStringLiteral("E&xit"), &TForm1Handler::Exit1Click);

    QMenu* options = bar->addMenu(QStringLiteral("&Options"));
    options->setObjectName(QStringLiteral("Options2"));
    m_options1 = addMenuItem(options, "Options1", QStringLiteral("Options..."),
                             &TForm1Handler::Options1Click);

    QMenu* tools = bar->addMenu(QStringLiteral("&Tools"));
    tools->setObjectName(QStringLiteral("Tools1"));
    m_convert1 = addMenuItem(
        tools, "Convert1", QStringLiteral("Convert \"Degrees,Minutes,Seconds\"  to \"Degrees\"..."),
        &TForm1Handler::Convert1Click);
    addSeparator(tools);
    m_viewlognow1 = addMenuItem(tools, "Viewlognow1", QStringLiteral("View log now"),
                                &TForm1Handler::Viewlognow1Click);
    m_viewlognow1->setShortcut(QKeySequence(Qt::Key_F12));
    addSeparator(tools);
    m_satelliteImagesViewer1 =
        addMenuItem(tools, "SatelliteImagesViewer1", QStringLiteral("Satellite Images Viewer"),
                    &TForm1Handler::SatelliteImagesViewer1Click);
    addSeparator(tools);
    m_combineImages1 = addMenuItem(tools, "CombineImages1", QStringLiteral("Combine Images..."),
                                   &TForm1Handler::CombineImages1Click);
    addSeparator(tools);
    m_downloadsingleimage1 =
        addMenuItem(tools, "Downloadsingleimage1", QStringLiteral("Download single image..."),
                    &TForm1Handler::Downloadsingleimage1Click);
    addSeparator(tools);
    m_fetchmissing1 =
        addMenuItem(tools, "Fetchmissing1", QStringLiteral("Fetch missing tiles again"),
                    &TForm1Handler::Fetchmissing1Click);
    addSeparator(tools);
    m_selectArea1 = addMenuItem(tools, "SelectArea1", QStringLiteral("Select area on map..."),
                                &TForm1Handler::SelectArea1Click);
    m_selectArea1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));

    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("Help1"));
    m_usermanual1 = addMenuItem(help, "Usermanual1", QStringLiteral("User manual"),
                                &TForm1Handler::Usermanual1Click);
    m_homepage1 =
        addMenuItem(help, "Homepage1", QStringLiteral("Homepage"), &TForm1Handler::Homepage1Click);
    addSeparator(help);
    m_about1 = addMenuItem(help, "About1", QStringLiteral("About..."), &TForm1Handler::About1Click);
}

void TForm1::buildPanel()
{
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("ClientArea"));
    client->setFixedSize(kClientWidth, kPanelHeight + kMemoHeight);
    setCentralWidget(client);

    m_panel1 = new QFrame(client);
    m_panel1->setObjectName(QStringLiteral("Panel1"));
    m_panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    m_panel1->setLineWidth(1);
    m_panel1->setGeometry(0, 0, kClientWidth, kPanelHeight);

    controls::label(m_panel1, "Label16", QStringLiteral("Project name:"), QRect(16, 18, 88, 21));
    m_edit11 = controls::edit(m_panel1, "Edit11", QRect(107, 18, 174, 21));
    m_edit11->setText(QStringLiteral("NewProject.tavo"));
    m_button2 = controls::button(m_panel1, "Button2", QStringLiteral("Open project ..."),
                                 QRect(360, 16, 123, 25), controls::AutoDefault::Off);
    connect(m_button2, &QPushButton::clicked, this, [this] {
        if (m_handler)
            m_handler->Button2Click();
    });

    m_groupBox4 = new QGroupBox(m_panel1);
    m_groupBox4->setObjectName(QStringLiteral("GroupBox4"));
    m_groupBox4->setGeometry(13, 48, 473, 145);

    m_bitBtn1 = controls::button(m_panel1, "BitBtn1", QStringLiteral("Download"),
                                 QRect(360, 220, 121, 33), controls::AutoDefault::Off);
    connect(m_bitBtn1, &QPushButton::clicked, this, [this] {
        if (m_handler)
            m_handler->BitBtn1Click();
    });

    // Start-up clears the two placeholder captions.
    m_label14 =
        controls::label(m_panel1, "Label14", QStringLiteral("Label14"), QRect(16, 206, 336, 17));
    m_label15 =
        controls::label(m_panel1, "Label15", QStringLiteral("Label15"), QRect(15, 227, 336, 17));
    m_labelSTXT = controls::label(m_panel1, "LabelSTXT", QString(), QRect(11, 256, 476, 17));
    for (QLabel* label : {m_label14, m_label15, m_labelSTXT})
        style::makeGreen(label);
}

void TForm1::buildJobFields()
{
    QGroupBox* box = m_groupBox4;
    controls::label(box, "Label1", QStringLiteral("Left Longitude:"), QRect(10, 16, 88, 21));
    m_edit1 = controls::edit(box, "Edit1", QRect(99, 16, 106, 21));
    controls::label(box, "Label2", QStringLiteral("Right Longitude:"), QRect(252, 16, 92, 21));
    m_edit3 = controls::edit(box, "Edit3", QRect(345, 16, 106, 21));
    controls::label(box, "Label3", QStringLiteral("Top Latitude:"), QRect(10, 45, 88, 21));
    m_edit2 = controls::edit(box, "Edit2", QRect(99, 45, 106, 21));
    controls::label(box, "Label4", QStringLiteral("Bottom Latitude:"), QRect(252, 45, 92, 21));
    m_edit4 = controls::edit(box, "Edit4", QRect(345, 45, 106, 21));

    controls::label(box, "Label5", QStringLiteral("Zoom:"), QRect(10, 74, 88, 21));
    m_edit5 = controls::edit(box, "Edit5", QRect(99, 74, 94, 21));
    m_edit5->setReadOnly(true);
    m_upDown1 = controls::upDown(m_edit5, "UpDown1", 1, 20, 13, QRect(193, 74, 15, 21));

    controls::label(box, "Label11", QStringLiteral("Threads count:"), QRect(252, 72, 92, 21));
    m_edit10 = controls::edit(box, "Edit10", QRect(345, 72, 94, 21));
    m_edit10->setReadOnly(true);
    m_upDown2 = controls::upDown(m_edit10, "UpDown2", 1, 8, 1, QRect(439, 72, 15, 21));

    controls::label(box, "Label6", QStringLiteral("Path to save:"), QRect(10, 106, 88, 21));
    m_edit6 = controls::edit(box, "Edit6", QRect(99, 106, 302, 21));
    m_button1 = controls::button(box, "Button1", QStringLiteral("..."), QRect(411, 106, 38, 25),
                                 controls::AutoDefault::Off);
    m_button1->setToolTip(QStringLiteral("Click to select path"));
    connect(m_button1, &QPushButton::clicked, this, [this] {
        if (m_handler)
            m_handler->Button1Click();
    });
}

void TForm1::buildDmsPanel()
{
    m_panelDMS = new QWidget(m_panel1);
    m_panelDMS->setObjectName(QStringLiteral("PanelDMS"));
    m_panelDMS->setGeometry(478, 71, 466, 59);
    m_panelDMS->setVisible(false);

    struct Row
    {
        const char* label;
        const char* caption;
        const char* degrees;
        const char* minutes;
        const char* seconds;
        const char* hemisphere;
        const char* firstItem;
        const char* secondItem;
        const char* unitPrefix;
    };
    static const Row rows[] = {
        {"Label7", "Left Longitude:", "EditLLongD", "EditLLongM", "EditLLongS", "ComLLong", "E",
         "W", "LabelLLong"},
        {"Label8", "Right Longitude:", "EditRLongD", "EditRLongM", "EditRLongS", "ComRLong", "E",
         "W", "LabelRLong"},
        {"Label9", "Top Latitude:", "EditTLatD", "EditTLatM", "EditTLatS", "ComTLat", "N", "S",
         "LabelTLat"},
        {"Label10", "Bottom Latitude:", "EditBLatD", "EditBLatM", "EditBLatS", "ComBLat", "N", "S",
         "LabelBLat"},
    };

    // Two rows of two, laid over the decimal fields: left and right longitude, then top and
    // bottom latitude.
    for (int index = 0; index < 4; ++index) {
        const Row& row = rows[index];
        const int x = (index % 2) * 233;
        const int y = 4 + (index / 2) * 30;
        const QString prefix = QLatin1String(row.unitPrefix);
        controls::label(m_panelDMS, row.label, QLatin1String(row.caption), QRect(x, y, 88, 21));
        QLineEdit* degrees = controls::edit(m_panelDMS, row.degrees, QRect(x + 88, y, 28, 21));
        degrees->setMaxLength(3);
        controls::label(m_panelDMS, "", QStringLiteral("\u00B0"), QRect(x + 117, y, 6, 21))
            ->setObjectName(prefix + QStringLiteral("DUnit"));
        QLineEdit* minutes = controls::edit(m_panelDMS, row.minutes, QRect(x + 124, y, 22, 21));
        minutes->setMaxLength(2);
        controls::label(m_panelDMS, "", QStringLiteral("'"), QRect(x + 147, y, 5, 21))
            ->setObjectName(prefix + QStringLiteral("MUnit"));
        QLineEdit* seconds = controls::edit(m_panelDMS, row.seconds, QRect(x + 153, y, 22, 21));
        seconds->setMaxLength(2);
        controls::label(m_panelDMS, "", QStringLiteral("\""), QRect(x + 176, y, 6, 21))
            ->setObjectName(prefix + QStringLiteral("SUnit"));
        auto* hemisphere = new QComboBox(m_panelDMS);
        hemisphere->setObjectName(QLatin1String(row.hemisphere));
        hemisphere->addItems({QLatin1String(row.firstItem), QLatin1String(row.secondItem)});
        hemisphere->setCurrentIndex(0);
        hemisphere->setGeometry(x + 184, y, 42, 21);
    }
}

void TForm1::buildLogAndStatusBar()
{
    m_memo1 = new QPlainTextEdit(centralWidget());
    m_memo1->setObjectName(QStringLiteral("Memo1"));
    m_memo1->setGeometry(0, kPanelHeight, kClientWidth, kMemoHeight);
    m_memo1->setReadOnly(true);
    m_memo1->setFrameShape(QFrame::NoFrame);
    m_memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_memo1->setTabChangesFocus(true);
    m_memo1->setFont(style::logFont());
    style::makeGreen(m_memo1);
    m_memo1->setPlainText(QStringLiteral("[log window]"));

    m_statusBar1 = new QStatusBar(this);
    m_statusBar1->setObjectName(QStringLiteral("StatusBar1"));
    m_statusBar1->setSizeGripEnabled(false);
    m_statusBar1->setFixedHeight(kStatusBarHeight);
    auto* text = new QLabel(statusBarText(), m_statusBar1);
    text->setObjectName(QStringLiteral("SimpleText"));
    m_statusBar1->addWidget(text, 1);

    // The job's figures take the room right of the fixed text, and never more:
    // the window keeps its size whatever they say.
    auto* job = new QWidget(m_statusBar1);
    job->setObjectName(QStringLiteral("JobStatus"));
    job->setFixedSize(kClientWidth - text->sizeHint().width() - 24, kStatusBarHeight - 2);
    auto* row = new QHBoxLayout(job);
    row->setContentsMargins(0, 0, 4, 0);
    row->setSpacing(6);
    m_jobProgressBar = new QProgressBar(job);
    m_jobProgressBar->setObjectName(QStringLiteral("JobProgressBar"));
    m_jobProgressBar->setFixedSize(130, kStatusBarHeight - 5);
    m_jobProgressBar->setTextVisible(true);
    m_jobProgressBar->setAlignment(Qt::AlignCenter);
    m_jobProgressBar->setVisible(false);
    row->addWidget(m_jobProgressBar);
    m_jobStatusText = new ElidedLabel(job);
    m_jobStatusText->setObjectName(QStringLiteral("JobStatusText"));
    m_jobStatusText->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    row->addWidget(m_jobStatusText, 1);
    m_statusBar1->addPermanentWidget(job);
    setStatusBar(m_statusBar1);

    // The fields the job's size follows.
    for (QLineEdit* edit : {m_edit1, m_edit2, m_edit3, m_edit4, m_edit5, m_edit10}) {
        connect(edit, &QLineEdit::textChanged, this, [this] {
            if (m_handler)
                m_handler->JobFieldsChanged();
        });
    }
}

void TForm1::buildTabOrder()
{
    // The log window comes first, then the upper panel: the group's fields, the Download button,
    // the project name, the open button and the degree/minute/second fields.
    QList<QWidget*> chain = {m_memo1,  m_edit1, m_edit3,   m_edit2,   m_edit4,  m_edit5,
                             m_edit10, m_edit6, m_button1, m_bitBtn1, m_edit11, m_button2};
    static const char* const dmsNames[] = {"EditLLongD", "EditLLongM", "EditLLongS", "ComLLong",
                                           "EditRLongD", "EditRLongM", "EditRLongS", "ComRLong",
                                           "EditTLatD",  "EditTLatM",  "EditTLatS",  "ComTLat",
                                           "EditBLatD",  "EditBLatM",  "EditBLatS",  "ComBLat"};
    for (const char* name : dmsNames)
        chain.append(m_panelDMS->findChild<QWidget*>(QLatin1String(name)));
    for (qsizetype i = 1; i < chain.size(); ++i)
        QWidget::setTabOrder(chain[i - 1], chain[i]);
}

void TForm1::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (m_shown || event->spontaneous())
        return;
    m_shown = true;
    style::centreOnScreen(this);
    if (m_handler)
        m_handler->FormShow();
}

void TForm1::closeEvent(QCloseEvent* event)
{
    if (m_handler && !m_handler->FormCloseQuery()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

} // namespace tavo
