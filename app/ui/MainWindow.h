#pragma once

#include "app/CorvantisAppDelegate.h"

#include <QMainWindow>

class QPlainTextEdit;
class QSplitter;
class QStackedWidget;

namespace corvantis {

// The main window: the log on top and, below it, the one of the three views (traffic graph, connections,
// statistics text) that the delegate's view flags show; nothing below the log while no flag is set. The log,
// connections and graph start as empty placeholders, which their own widgets replace through the setters.
//
// Borrows the delegate, which must outlive the window. GUI thread only.
class MainWindow final : public QMainWindow, public MainWindowShell {
    Q_OBJECT
public:
    explicit MainWindow(CorvantisAppDelegate& delegate, QWidget* parent = nullptr);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Put `view` (owned from now on) where the log, the connections or the graph go, deleting what was there.
    void setLogView(QWidget* view);
    void setConnectionsView(QWidget* view);
    void setGraphView(QWidget* view);

    QWidget* logView() const { return m_logView; }
    QWidget* connectionsView() const { return m_connectionsView; }
    QWidget* graphView() const { return m_graphView; }
    // The view the flags show now, or null.
    QWidget* currentView() const;

    void bringToFront() override;
    bool isShown() const override { return isVisible(); }
    // Forwarded to the log, connections and graph widgets; nothing while a slot holds its placeholder.
    void updateLogList(bool visible) override;
    void updateConnectionsList(const std::string& text) override;
    void updateGraph(const std::vector<uint8_t>& up, const std::vector<uint8_t>& down) override;

private:
    void replaceView(QWidget*& slot, QWidget* view, int index, const char* name);
    void followFlags();

    CorvantisAppDelegate& m_delegate;
    int m_observer = 0;
    QSplitter* m_splitter = nullptr;
    QStackedWidget* m_views = nullptr;
    QWidget* m_logView = nullptr;
    QWidget* m_graphView = nullptr;
    QWidget* m_connectionsView = nullptr;
    QPlainTextEdit* m_statisticsView = nullptr;
};

// Adds the menus of the program's main window (profiles, editors and sheets, settings, views, help); their
// state lives as long as `window`.
void AddMainMenus(QMainWindow& window, CorvantisAppDelegate& delegate);

} // namespace corvantis
