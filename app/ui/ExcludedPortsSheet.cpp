#include "app/ui/ExcludedPortsSheet.h"

#include "app/CorvantisAppDelegate.h"
#include "app/ui/MainWindow.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace corvantis {

namespace {

QPlainTextEdit* PortsField(const char* name)
{
    auto* field = new QPlainTextEdit();
    field->setObjectName(QString::fromLatin1(name));
    field->setTabChangesFocus(true);
    field->setMinimumHeight(60);
    return field;
}

} // namespace

int RunExcludedPortsSheet(CorvantisAppDelegate& delegate, std::string& udp, std::string& tcp)
{
    auto* window = dynamic_cast<MainWindow*>(delegate.window());
    ExcludedPortsSheet sheet(window);
    sheet.setPorts(udp, tcp);
    const int code = sheet.exec();
    udp = sheet.udpPorts();
    tcp = sheet.tcpPorts();
    return code;
}

ExcludedPortsSheet::ExcludedPortsSheet(QWidget* parent)
    : QDialog(parent)
    , m_udp(PortsField("excludedUdpPorts"))
    , m_tcp(PortsField("excludedTcpPorts"))
{
    setObjectName(QStringLiteral("excludedPortsWindow"));
    setWindowTitle(QStringLiteral("Excluded Ports"));
    setModal(true);

    auto* layout = new QVBoxLayout(this);
    auto* hint = new QLabel(QStringLiteral(
        "Connections to these ports are not processed. Separate the ports with commas, semicolons or spaces."));
    hint->setWordWrap(true);
    layout->addWidget(hint);
    layout->addWidget(new QLabel(QStringLiteral("UDP ports:")));
    layout->addWidget(m_udp);
    layout->addWidget(new QLabel(QStringLiteral("TCP ports:")));
    layout->addWidget(m_tcp);

    auto* buttons = new QDialogButtonBox();
    m_save = buttons->addButton(QStringLiteral("Save"), QDialogButtonBox::AcceptRole);
    m_save->setObjectName(QStringLiteral("saveExcludedPorts"));
    m_save->setDefault(true);
    m_cancel = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    m_cancel->setObjectName(QStringLiteral("canselExcludedPorts"));
    layout->addWidget(buttons);
    connect(m_save, &QPushButton::clicked, this, &ExcludedPortsSheet::saveExcludedPorts);
    connect(m_cancel, &QPushButton::clicked, this, &ExcludedPortsSheet::canselExcludedPorts);
    resize(420, 300);
}

ExcludedPortsSheet::~ExcludedPortsSheet() = default;

void ExcludedPortsSheet::setPorts(const std::string& udp, const std::string& tcp)
{
    m_udp->setPlainText(QString::fromStdString(udp));
    m_tcp->setPlainText(QString::fromStdString(tcp));
}

std::string ExcludedPortsSheet::udpPorts() const
{
    return m_udp->toPlainText().toStdString();
}

std::string ExcludedPortsSheet::tcpPorts() const
{
    return m_tcp->toPlainText().toStdString();
}

void ExcludedPortsSheet::saveExcludedPorts()
{
    done(1);
}

void ExcludedPortsSheet::canselExcludedPorts()
{
    done(0);
}

} // namespace corvantis
