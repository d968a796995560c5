#include "app/ui/MessageBoxUI.h"

#include "core/foundation/CoreHooks.h"
#include "core/foundation/MessageBox.h"
#include "platform/Assert.h"

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QSpacerItem>

namespace corvantis {

namespace {

MessageBoxScript* g_script = nullptr;

constexpr int kMaxCustomButtons = 3;

std::vector<std::string> customButtonTitles(const char* const* buttonsName)
{
    std::vector<std::string> titles;
    for (int i = 0; buttonsName && i < kMaxCustomButtons && buttonsName[i]; ++i)
        titles.emplace_back(buttonsName[i]);
    return titles;
}

long answerFromScript(MessageBoxScript::Request request, bool* suppressResult,
    std::deque<MessageBoxScript::Answer>& answers, std::vector<MessageBoxScript::Request>& requests)
{
    MessageBoxScript::Answer answer;
    if (!answers.empty()) {
        answer = answers.front();
        answers.pop_front();
    }
    if (request.hasSuppress && suppressResult)
        *suppressResult = answer.suppress;
    requests.push_back(std::move(request));
    return answer.result;
}

} // namespace

MessageBoxScript::MessageBoxScript()
{
    CORVANTIS_ASSERT(!g_script, "one MessageBoxScript at a time");
    g_script = this;
}

MessageBoxScript::~MessageBoxScript()
{
    g_script = nullptr;
}

void MessageBoxScript::push(Answer answer)
{
    m_answers.push_back(answer);
}

long ShowMessageBoxUI(const std::string& message, const std::string& caption, int flags, const char* suppressTitle,
    bool* suppressResult, const char* const* buttonsName, int accessoryWidth)
{
    const bool custom = (flags & kMbCustomButtons) != 0;
    const bool yesNo = !custom && (flags & kMbYesNo) != 0;
    std::vector<std::string> titles = custom ? customButtonTitles(buttonsName) : std::vector<std::string> {};

    if (g_script) {
        MessageBoxScript::Request request { message, caption, flags, suppressTitle != nullptr,
            suppressTitle ? suppressTitle : "", titles, accessoryWidth };
        return answerFromScript(std::move(request), suppressResult, g_script->m_answers, g_script->m_requests);
    }

    QMessageBox box(QApplication::activeWindow());
    box.setText(QString::fromStdString(caption));
    if (!message.empty())
        box.setInformativeText(QString::fromStdString(message));
    box.setIcon((flags & kMbCritical) ? QMessageBox::Critical : QMessageBox::NoIcon);

    // Each button with the answer it gives.
    std::vector<std::pair<QAbstractButton*, long>> answers;
    if (custom && !titles.empty()) {
        for (size_t i = 0; i < titles.size(); ++i) {
            QPushButton* button = box.addButton(QString::fromStdString(titles[i]), QMessageBox::ActionRole);
            answers.emplace_back(button, static_cast<long>(i));
            if (i == 0)
                box.setDefaultButton(button);
            if (titles[i] == "Cancel")
                box.setEscapeButton(button);
        }
    } else if (yesNo) {
        QPushButton* no = box.addButton(QStringLiteral("No"), QMessageBox::NoRole);
        QPushButton* yes = box.addButton(QStringLiteral("Yes"), QMessageBox::YesRole);
        answers.emplace_back(no, 0);
        answers.emplace_back(yes, kMbAnswerYes);
        box.setDefaultButton(no);
        box.setEscapeButton(no);
    } else {
        QPushButton* ok = box.addButton(QMessageBox::Ok);
        answers.emplace_back(ok, 0);
        box.setDefaultButton(ok);
        box.setEscapeButton(ok);
    }

    QCheckBox* suppress = nullptr;
    if (suppressTitle) {
        suppress = new QCheckBox(QString::fromUtf8(suppressTitle), &box);
        box.setCheckBox(suppress);
    }
    if (accessoryWidth >= 1) {
        // The box sizes itself to its texts; a spacer as wide as asked across the whole grid widens it.
        if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
            grid->addItem(new QSpacerItem(accessoryWidth, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                grid->rowCount(), 0, 1, grid->columnCount());
        }
    }

    box.exec();
    if (suppress && suppressResult)
        *suppressResult = suppress->isChecked();
    QAbstractButton* clicked = box.clickedButton();
    for (const auto& [button, answer] : answers) {
        if (button == clicked)
            return answer;
    }
    return 0;
}

void AddMessageBoxUIHook(CoreHooks& hooks)
{
    hooks.messageBoxUI = &ShowMessageBoxUI;
}

NotificationCenter::ObserverId ObserveMessageBoxNotification(NotificationCenter& center)
{
    return center.addObserver(kMessageBoxNotification, [](const Notification& n) { MessageBoxNotifyHandler(true, n); });
}

} // namespace corvantis
