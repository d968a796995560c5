#include "app/ui/ConnectionsView.h"

#include "app/ui/ConnectionListModel.h"
#include "core/foundation/Log.h"
#include "core/foundation/LogMessage.h"
#include "core/profile/ConnRecord.h"
#include "core/profile/CorvantisApp.h"

#include <QHeaderView>
#include <QTableView>
#include <QVBoxLayout>
#include <QWindow>

namespace corvantis {

namespace {

bool DebugConnList()
{
    return theApp && theApp->GetSettings().DebugConnList;
}

} // namespace

ConnectionsView::ConnectionsView(QWidget* parent)
    : QWidget(parent)
    , m_model(new ConnectionListModel(this))
    , m_table(new QTableView(this))
{
    m_table->setObjectName(QStringLiteral("connectionsTable"));
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setShowGrid(false);
    m_table->setWordWrap(false);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_table);
}

ConnectionsView::~ConnectionsView() = default;

void ConnectionsView::updateConnectionsList(const std::string& text)
{
    if (!window()->windowHandle()) {
        if (DebugConnList())
            CLogMessage(kLogDebug) << "Connections not updated -  window is null";
        return;
    }
    if (!isVisible()) {
        if (DebugConnList())
            CLogMessage(kLogDebug) << "Connections not updated - window is not visible";
        return;
    }
    const ConnectionListModel::UpdateCounts counts = m_model->update(ParseConnectionList(text));
    if (DebugConnList()) {
        CLogMessage(kLogDebug) << "Connections UI: data = " << text.size() << " old = " << counts.old
                               << " current = " << counts.current << " removed = " << counts.removed
                               << " new = " << counts.added << " res = " << counts.result;
    }
}

void ConnectionsView::reloadData()
{
    m_table->viewport()->update();
}

} // namespace corvantis
