#include "app/ui/SmallControls.h"

#include "app/PortList.h"

#include <QApplication>
#include <QComboBox>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QStyleOptionViewItem>

#include <algorithm>
#include <string>

namespace corvantis {

namespace {

QStyle* StyleOf(const QStyleOptionViewItem& option)
{
    return option.widget ? option.widget->style() : QApplication::style();
}

bool IsComboCell(const QModelIndex& index)
{
    return index.data(kChoicesRole).isValid();
}

bool IsCheckCell(const QModelIndex& index)
{
    return !IsComboCell(index) && index.data(Qt::CheckStateRole).isValid()
        && index.data(Qt::DisplayRole).toString().isEmpty();
}

} // namespace

TopAlignedDelegate::TopAlignedDelegate(QObject* parent)
    : QStyledItemDelegate(parent)
{
}

QRect TopAlignedDelegate::topRect(const QRect& cell, int height)
{
    return QRect(cell.left(), cell.top(), cell.width(), std::clamp(height, 0, std::max(0, cell.height())));
}

int TopAlignedDelegate::comboHeight(const QStyleOptionViewItem& option)
{
    QStyleOptionComboBox box;
    box.fontMetrics = option.fontMetrics;
    box.frame = true;
    const QSize title(0, option.fontMetrics.height());
    return StyleOf(option)->sizeFromContents(QStyle::CT_ComboBox, &box, title, option.widget).height();
}

QStyleOptionViewItem TopAlignedDelegate::controlOption(
    const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem top = option;
    top.rect = topRect(option.rect, IsComboCell(index) ? comboHeight(option) : m_rowHeight);
    return top;
}

void TopAlignedDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const bool combo = IsComboCell(index);
    if (!combo && !IsCheckCell(index)) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    QStyle* style = StyleOf(option);

    // The background and the selection fill the whole cell; only the control keeps to the top.
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.features &= ~QStyleOptionViewItem::HasCheckIndicator;
    background.text.clear();
    background.icon = QIcon();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &background, painter, option.widget);

    const QStyleOptionViewItem top = controlOption(option, index);
    if (!combo) {
        QStyledItemDelegate::paint(painter, top, index);
        return;
    }
    QStyleOptionComboBox box;
    box.rect = top.rect;
    box.state = option.state & (QStyle::State_Enabled | QStyle::State_Active);
    box.direction = option.direction;
    box.palette = option.palette;
    box.fontMetrics = option.fontMetrics;
    box.frame = true;
    box.editable = false;
    box.currentText = index.data(Qt::DisplayRole).toString();
    painter->save();
    painter->setFont(option.font);
    style->drawComplexControl(QStyle::CC_ComboBox, &box, painter, option.widget);
    style->drawControl(QStyle::CE_ComboBoxLabel, &box, painter, option.widget);
    painter->restore();
}

QWidget* TopAlignedDelegate::createEditor(
    QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    if (!IsComboCell(index))
        return QStyledItemDelegate::createEditor(parent, option, index);
    auto* combo = new QComboBox(parent);
    combo->addItems(index.data(kChoicesRole).toStringList());
    // A choice is taken as soon as it is made, as a pop-up cell does.
    auto* self = const_cast<TopAlignedDelegate*>(this);
    connect(combo, &QComboBox::activated, self, [self, combo] {
        emit self->commitData(combo);
        emit self->closeEditor(combo);
    });
    return combo;
}

void TopAlignedDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const
{
    auto* combo = qobject_cast<QComboBox*>(editor);
    if (!combo || !IsComboCell(index)) {
        QStyledItemDelegate::setEditorData(editor, index);
        return;
    }
    bool ok = false;
    const int chosen = index.data(Qt::EditRole).toInt(&ok);
    combo->setCurrentIndex(ok && chosen >= 0 && chosen < combo->count() ? chosen : -1);
}

void TopAlignedDelegate::setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const
{
    auto* combo = qobject_cast<QComboBox*>(editor);
    if (!combo || !IsComboCell(index)) {
        QStyledItemDelegate::setModelData(editor, model, index);
        return;
    }
    if (combo->currentIndex() >= 0)
        model->setData(index, combo->currentIndex(), Qt::EditRole);
}

void TopAlignedDelegate::updateEditorGeometry(
    QWidget* editor, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    if (!IsComboCell(index)) {
        QStyledItemDelegate::updateEditorGeometry(editor, option, index);
        return;
    }
    editor->setGeometry(topRect(option.rect, std::max(comboHeight(option), editor->sizeHint().height())));
}

bool TopAlignedDelegate::editorEvent(
    QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option, const QModelIndex& index)
{
    // Clicks toggle the check box where it is drawn.
    if (IsCheckCell(index))
        return QStyledItemDelegate::editorEvent(event, model, controlOption(option, index), index);
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}

PortListValidator::PortListValidator(QObject* parent)
    : QValidator(parent)
{
}

bool PortListValidator::check(const QString& text, QString* error)
{
    std::string reason;
    if (ValidatePorts(text.toStdString(), reason, "Invalid character"))
        return true;
    if (error)
        *error = QString::fromStdString(reason);
    return false;
}

QValidator::State PortListValidator::validate(QString& input, int&) const
{
    QString error;
    if (check(input, &error)) {
        m_lastError.clear();
        return Acceptable;
    }
    m_lastError = error;
    return Invalid;
}

} // namespace corvantis
