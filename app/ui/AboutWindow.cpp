#include "app/ui/AboutWindow.h"

#include "core/profile/CorvantisApp.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QVBoxLayout>

#ifndef CORVANTIS_COPYRIGHT
#define CORVANTIS_COPYRIGHT "Copyright (C) The Corvantis developers. All rights reserved."
#endif
#ifndef CORVANTIS_WEB_ADDRESS
#define CORVANTIS_WEB_ADDRESS "https://corvantis.invalid"
#endif
#ifndef CORVANTIS_SUPPORT_PAGE
#define CORVANTIS_SUPPORT_PAGE CORVANTIS_WEB_ADDRESS "/support"
#endif
#ifndef CORVANTIS_PRIVACY_PAGE
#define CORVANTIS_PRIVACY_PAGE CORVANTIS_WEB_ADDRESS "/privacy"
#endif

namespace corvantis {

namespace {

constexpr int kFontSize = 15;

QLabel* TextLabel(const char* name, bool links)
{
    auto* label = new QLabel();
    label->setObjectName(QString::fromLatin1(name));
    label->setAlignment(Qt::AlignHCenter);
    label->setWordWrap(true);
    if (links) {
        label->setTextFormat(Qt::RichText);
        label->setTextInteractionFlags(Qt::TextBrowserInteraction);
        label->setOpenExternalLinks(true);
    } else {
        label->setTextFormat(Qt::PlainText);
    }
    return label;
}

QString Link(const QString& address, const QString& text)
{
    return QStringLiteral("<a href=\"%1\">%2</a>").arg(address.toHtmlEscaped(), text.toHtmlEscaped());
}

} // namespace

AboutWindow::AboutWindow(CCorvantisApp& app, QWidget* parent)
    : QDialog(parent)
    , m_app(app)
    , m_productName(TextLabel("fullProductName", false))
    , m_copyright(TextLabel("copyright", false))
    , m_updatesLink(TextLabel("updatesLink", true))
    , m_contactLink(TextLabel("contactLink", true))
    , m_policyLink(TextLabel("policyLink", true))
    , m_ok(new QPushButton(QStringLiteral("OK")))
{
    setObjectName(QStringLiteral("aboutWindow"));
    setWindowTitle(QStringLiteral("About Corvantis"));
    m_ok->setObjectName(QStringLiteral("okButton"));
    m_ok->setDefault(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_productName);
    layout->addWidget(m_copyright);
    layout->addWidget(m_updatesLink);
    auto* links = new QHBoxLayout();
    links->addStretch();
    links->addWidget(m_contactLink);
    links->addWidget(m_policyLink);
    links->addStretch();
    layout->addLayout(links);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch();
    buttons->addWidget(m_ok);
    layout->addLayout(buttons);

    connect(m_ok, &QPushButton::clicked, this, [this] { onOK(); });
}

AboutWindow::~AboutWindow() = default;

bool AboutWindow::doModal()
{
    updateContent();
    m_modalInProgress = true;
    const int response = exec();
    m_modalInProgress = false;
    close();
    return response == 1;
}

void AboutWindow::onOK()
{
    m_modalInProgress = false;
    done(1);
}

void AboutWindow::onCancel()
{
    if (!m_modalInProgress)
        return;
    m_modalInProgress = false;
    done(0);
}

void AboutWindow::reject()
{
    onCancel();
}

void AboutWindow::updateContent()
{
    m_fontSize = kFontSize;
    QFont font = QApplication::font();
    font.setPointSize(m_fontSize);
    QPalette palette = QApplication::palette();
    for (QLabel* label : { m_productName, m_copyright }) {
        label->setFont(font);
        label->setPalette(palette);
    }
    const std::string version = m_app.GetVersion();
    const std::string suffix = m_app.GetVersionSuffix();
    m_productName->setText(QStringLiteral("Corvantis for Mac v%1 %2")
                               .arg(QString::fromStdString(version), QString::fromStdString(suffix)));
    m_copyright->setText(QString::fromUtf8(CORVANTIS_COPYRIGHT));
    const QString web = QString::fromUtf8(CORVANTIS_WEB_ADDRESS);
    m_updatesLink->setText(Link(web, web));
    m_contactLink->setText(Link(QString::fromUtf8(CORVANTIS_SUPPORT_PAGE), QStringLiteral("Support")));
    m_policyLink->setText(Link(QString::fromUtf8(CORVANTIS_PRIVACY_PAGE), QStringLiteral("Privacy Policy")));
}

QString AboutWindow::fullProductName() const
{
    return m_productName->text();
}

QString AboutWindow::copyright() const
{
    return m_copyright->text();
}

QString AboutWindow::updatesLink() const
{
    return m_updatesLink->text();
}

QString AboutWindow::contactLink() const
{
    return m_contactLink->text();
}

QString AboutWindow::policyLink() const
{
    return m_policyLink->text();
}

} // namespace corvantis
