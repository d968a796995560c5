#pragma once

#include <QString>
#include <QStyledItemDelegate>
#include <QValidator>

namespace corvantis {

// The role a combo cell answers with the titles it offers (QStringList); its EditRole is the chosen position
// (int, -1 for none).
inline constexpr int kChoicesRole = Qt::UserRole + 64;

// The height in which a check box or combo is drawn unless set otherwise.
inline constexpr int kDefaultControlRowHeight = 14;

// A delegate for tables whose rows grow to fit wrapped text: it draws the controls of a row at the top of the row
// instead of its middle.
//   A check cell (an index with CheckStateRole data and no text) draws its check box in the top rowHeight() of
//   the cell; clicks and keys toggle it there only.
//   A combo cell (an index with kChoicesRole data) draws a closed combo showing its DisplayRole text in the top
//   of the cell, as high as the combo's title needs; its editor is a QComboBox of the choices at the same place,
//   and the chosen position is written back as EditRole.
// Other cells are drawn as QStyledItemDelegate draws them. The cell's background and selection cover the whole
// cell.
//
// Thread-safety: the GUI thread only.
class TopAlignedDelegate final : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit TopAlignedDelegate(QObject* parent = nullptr);
    TopAlignedDelegate(const TopAlignedDelegate&) = delete;
    TopAlignedDelegate& operator=(const TopAlignedDelegate&) = delete;

    // The height a check box is drawn in; kDefaultControlRowHeight unless set.
    int rowHeight() const { return m_rowHeight; }
    void setRowHeight(int height) { m_rowHeight = height; }

    // The area of `cell` a control `height` high is drawn in: the cell's left, top and width, and `height` (never
    // more than the cell's own height, never less than 0).
    static QRect topRect(const QRect& cell, int height);
    // The height a combo cell's closed combo takes: what the style needs around one line of its title.
    static int comboHeight(const QStyleOptionViewItem& option);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;
    void updateEditorGeometry(
        QWidget* editor, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

protected:
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
        const QModelIndex& index) override;

private:
    // `option` limited to the control's place at the top of the cell.
    QStyleOptionViewItem controlOption(const QStyleOptionViewItem& option, const QModelIndex& index) const;

    int m_rowHeight = kDefaultControlRowHeight;
};

// Limits a line edit to a list of port numbers while the user types (ValidatePorts of app/PortList.h): digits
// separated by commas, semicolons, line feeds or blanks, each port from 1 to 65535. A text that breaks the rule is
// Invalid, so the edit that made it is not taken; every other text, the empty one included, is Acceptable.
// lastError() keeps the text of the last refusal for the window to show.
//
// Thread-safety: the GUI thread only.
class PortListValidator final : public QValidator {
    Q_OBJECT
public:
    explicit PortListValidator(QObject* parent = nullptr);
    PortListValidator(const PortListValidator&) = delete;
    PortListValidator& operator=(const PortListValidator&) = delete;

    // Checks `text`: true when it is a valid port list; otherwise false with the reason in `error` (when given).
    static bool check(const QString& text, QString* error = nullptr);

    State validate(QString& input, int& pos) const override;
    // The reason the last validate() refused its text; empty when the last text was accepted.
    QString lastError() const { return m_lastError; }

private:
    mutable QString m_lastError;
};

} // namespace corvantis
