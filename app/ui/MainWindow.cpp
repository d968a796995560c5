#include "app/ui/MainWindow.h"

#include "app/ui/ConnectionsView.h"
#include "app/ui/LogView.h"
#include "app/ui/PlotterView.h"

#include <QPlainTextEdit>
#include <QSplitter>
#include <QStackedWidget>

namespace corvantis {

namespace {

// The pages of the view stack.
enum ViewPage { kGraphPage = 0, kConnectionsPage = 1, kStatisticsPage = 2 };

QWidget* Placeholder(const char* name)
{
    auto* widget = new QWidget();
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

} // namespace

std::unique_ptr<MainWindowShell> CreateMainWindow(CorvantisAppDelegate& delegate)
{
    auto window = std::make_unique<MainWindow>(delegate);
    window->setLogView(new LogView());
    window->setConnectionsView(new ConnectionsView());
    window->setGraphView(new PlotterView());
    AddMainMenus(*window, delegate);
    return window;
}

MainWindow::MainWindow(CorvantisAppDelegate& delegate, QWidget* parent)
    : QMainWindow(parent)
    , m_delegate(delegate)
{
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Corvantis"));
    m_splitter = new QSplitter(Qt::Vertical, this);
    m_splitter->setObjectName(QStringLiteral("mainSplitter"));
    m_splitter->setChildrenCollapsible(false);
    m_logView = Placeholder("logView");
    m_splitter->addWidget(m_logView);

    m_views = new QStackedWidget(m_splitter);
    m_views->setObjectName(QStringLiteral("viewStack"));
    m_graphView = Placeholder("graphView");
    m_connectionsView = Placeholder("connectionsView");
    m_statisticsView = new QPlainTextEdit();
    m_statisticsView->setObjectName(QStringLiteral("statisticsView"));
    m_statisticsView->setReadOnly(true);
    m_views->insertWidget(kGraphPage, m_graphView);
    m_views->insertWidget(kConnectionsPage, m_connectionsView);
    m_views->insertWidget(kStatisticsPage, m_statisticsView);
    m_splitter->addWidget(m_views);
    setCentralWidget(m_splitter);
    resize(720, 520);

    m_observer = m_delegate.observeProperties([this](const std::string& property) {
        if (property == CorvantisAppDelegate::kStatisticText)
            m_statisticsView->setPlainText(QString::fromStdString(m_delegate.statisticText()));
        else
            followFlags();
    });
    m_statisticsView->setPlainText(QString::fromStdString(m_delegate.statisticText()));
    followFlags();
}

MainWindow::~MainWindow()
{
    m_delegate.removePropertyObserver(m_observer);
}

void MainWindow::setLogView(QWidget* view)
{
    if (!view || view == m_logView)
        return;
    view->setObjectName(QStringLiteral("logView"));
    m_splitter->replaceWidget(0, view);
    delete m_logView;
    m_logView = view;
}

void MainWindow::setConnectionsView(QWidget* view)
{
    replaceView(m_connectionsView, view, kConnectionsPage, "connectionsView");
}

void MainWindow::setGraphView(QWidget* view)
{
    replaceView(m_graphView, view, kGraphPage, "graphView");
}

void MainWindow::replaceView(QWidget*& slot, QWidget* view, int index, const char* name)
{
    if (!view || view == slot)
        return;
    if (view->objectName().isEmpty())
        view->setObjectName(QString::fromLatin1(name));
    const bool current = m_views->currentIndex() == index;
    m_views->removeWidget(slot);
    delete slot;
    slot = view;
    m_views->insertWidget(index, view);
    if (current)
        m_views->setCurrentIndex(index);
}

QWidget* MainWindow::currentView() const
{
    return m_views->isHidden() ? nullptr : m_views->currentWidget();
}

void MainWindow::followFlags()
{
    int page = -1;
    if (m_delegate.graphShown())
        page = kGraphPage;
    else if (m_delegate.connectionsShown())
        page = kConnectionsPage;
    else if (m_delegate.statisticsShown())
        page = kStatisticsPage;
    m_views->setHidden(page < 0);
    if (page >= 0)
        m_views->setCurrentIndex(page);
}

void MainWindow::updateLogList(bool visible)
{
    if (auto* view = qobject_cast<LogView*>(m_logView))
        view->updateLogList(visible);
}

void MainWindow::updateConnectionsList(const std::string& text)
{
    if (auto* view = qobject_cast<ConnectionsView*>(m_connectionsView))
        view->updateConnectionsList(text);
}

void MainWindow::updateGraph(const std::vector<uint8_t>& up, const std::vector<uint8_t>& down)
{
    if (auto* view = qobject_cast<PlotterView*>(m_graphView))
        view->updateValue(up, down);
}

void MainWindow::bringToFront()
{
    if (isMinimized())
        showNormal();
    show();
    raise();
    activateWindow();
}

} // namespace corvantis
