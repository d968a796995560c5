#include "app/ui/SmallControls.h"

#include <QComboBox>
#include <QImage>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QStandardItemModel>
#include <QStyleOptionViewItem>
#include <QTableView>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace corvantis {
namespace {

TEST(PortListValidatorTest, AcceptsPortListsAndRefusesEverythingElseWithItsReason)
{
    struct Case {
        const char* text;
        const char* error; // nullptr: accepted
    };
    const Case cases[] = {
        { "80, 443;8080", nullptr },
        { "1\n65535 22", nullptr },
        { "", nullptr },
        { ",; \n;;  ,", nullptr },
        { "80-90", "Invalid character" },
        { "80\t443", "Invalid character" },
        { "８０", "Invalid character" },
        { "0", "port number must be grater than 0" },
        { "80;000", "port number must be grater than 0" },
        { "70000", "port number is too big" },
        { "65536", "port number is too big" },
        { "123456789012345678901234567890", "port number is too big" },
    };
    PortListValidator validator;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        QString text = QString::fromUtf8(c.text);
        int pos = static_cast<int>(text.size());
        QString error;
        EXPECT_EQ(PortListValidator::check(text, &error), c.error == nullptr);
        EXPECT_EQ(validator.validate(text, pos), c.error ? QValidator::Invalid : QValidator::Acceptable);
        EXPECT_EQ(validator.lastError().toStdString(), c.error ? c.error : "");
        EXPECT_EQ(error.toStdString(), c.error ? c.error : "");
        EXPECT_EQ(text, QString::fromUtf8(c.text)) << "the text is never rewritten";
    }
}

TEST(PortListValidatorTest, ALineEditTakesOnlyTheKeysThatKeepAPortList)
{
    QLineEdit edit;
    edit.setValidator(new PortListValidator(&edit));
    QTest::keyClicks(&edit, "80-90, 7x0000");
    EXPECT_EQ(edit.text(), "8090, 7000");
}

// A combo cell as the rules table makes it: the chosen position to edit, its title to show.
class ComboItem final : public QStandardItem {
public:
    QVariant data(int role) const override
    {
        if (role != Qt::DisplayRole)
            return QStandardItem::data(role);
        const QStringList choices = QStandardItem::data(kChoicesRole).toStringList();
        const int chosen = QStandardItem::data(Qt::EditRole).toInt();
        return chosen >= 0 && chosen < choices.size() ? choices[chosen] : QString();
    }
};

// A table of one cell of each kind, drawn by the delegate into an image of its own.
class TopAlignedDelegateTest : public testing::Test {
protected:
    void SetUp() override
    {
        model.setColumnCount(2);
        auto* check = new QStandardItem;
        check->setCheckable(true);
        check->setCheckState(Qt::Checked);
        auto* combo = new ComboItem;
        combo->setData(QStringList { "Chain Out", "Direct", "Block" }, kChoicesRole);
        combo->setData(1, Qt::EditRole);
        model.appendRow({ check, combo });
        view.setModel(&model);
        view.resize(400, 200);
        lineHeight = view.fontMetrics().lineSpacing();
    }

    QStyleOptionViewItem Option(const QRect& rect)
    {
        QStyleOptionViewItem option;
        option.initFrom(&view);
        option.widget = &view;
        option.rect = rect;
        option.state |= QStyle::State_Enabled;
        return option;
    }

    // The cell drawn into a white image of its size; the rows that hold anything else than white.
    std::pair<int, int> Painted(QAbstractItemDelegate& delegate, const QModelIndex& index, const QSize& size)
    {
        QImage image(size, QImage::Format_ARGB32);
        image.fill(Qt::white);
        {
            QPainter painter(&image);
            delegate.paint(&painter, Option(QRect(QPoint(0, 0), size)), index);
        }
        int first = -1;
        int last = -1;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                if (image.pixel(x, y) != QColor(Qt::white).rgb()) {
                    if (first < 0)
                        first = y;
                    last = y;
                    break;
                }
            }
        }
        return { first, last };
    }

    QStandardItemModel model;
    QTableView view;
    int lineHeight = 0;
};

TEST_F(TopAlignedDelegateTest, ACheckBoxInARowFourLinesHighIsDrawnInTheTop14Points)
{
    const QSize cell(60, 4 * lineHeight);
    ASSERT_GT(cell.height(), 3 * kDefaultControlRowHeight);
    const QModelIndex check = model.index(0, 0);

    TopAlignedDelegate delegate;
    EXPECT_EQ(delegate.rowHeight(), 14);
    const auto [first, last] = Painted(delegate, check, cell);
    ASSERT_GE(first, 0) << "the check box is drawn";
    EXPECT_LT(last, 14);

    // Qt's own delegate centres it, and a taller control row moves it down.
    QStyledItemDelegate centred;
    EXPECT_GE(Painted(centred, check, cell).second, 14);
    delegate.setRowHeight(3 * lineHeight);
    const auto [firstTall, lastTall] = Painted(delegate, check, cell);
    EXPECT_GT(firstTall, first);
    EXPECT_LT(lastTall, 3 * lineHeight);
}

TEST_F(TopAlignedDelegateTest, AComboIsDrawnAndEditedAtTheTop)
{
    const QModelIndex combo = model.index(0, 1);
    const QSize cell(160, 6 * lineHeight);
    const QStyleOptionViewItem option = Option(QRect(QPoint(0, 0), cell));
    const int height = TopAlignedDelegate::comboHeight(option);
    ASSERT_LT(height, cell.height() / 2);

    TopAlignedDelegate delegate;
    const auto [first, last] = Painted(delegate, combo, cell);
    ASSERT_GE(first, 0);
    EXPECT_LT(last, height);

    std::unique_ptr<QWidget> editor(delegate.createEditor(view.viewport(), option, combo));
    auto* box = qobject_cast<QComboBox*>(editor.get());
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->count(), 3);
    delegate.setEditorData(box, combo);
    EXPECT_EQ(box->currentIndex(), 1);
    delegate.updateEditorGeometry(box, option, combo);
    EXPECT_EQ(box->geometry().top(), 0);
    EXPECT_LT(box->geometry().height(), cell.height());
    box->setCurrentIndex(2);
    delegate.setModelData(box, &model, combo);
    EXPECT_EQ(model.data(combo, Qt::EditRole).toInt(), 2);
}

TEST_F(TopAlignedDelegateTest, AClickTogglesTheCheckBoxOnlyWhereItIsDrawn)
{
    TopAlignedDelegate topAligned;
    // The view calls it through the base class, where it is public.
    QAbstractItemDelegate& delegate = topAligned;
    const QModelIndex check = model.index(0, 0);
    const QStyleOptionViewItem option = Option(QRect(0, 0, 60, 4 * lineHeight));
    const auto click = [&](int y) {
        const QPointF at(option.rect.left() + 10, y);
        QMouseEvent press(QEvent::MouseButtonPress, at, at, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, at, at, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        delegate.editorEvent(&press, &model, option, check);
        delegate.editorEvent(&release, &model, option, check);
    };
    // Where Qt's own delegate would have put the box: the middle of the row.
    click(option.rect.center().y() + 2);
    EXPECT_EQ(model.data(check, Qt::CheckStateRole).toInt(), Qt::Checked);
    click(7);
    EXPECT_EQ(model.data(check, Qt::CheckStateRole).toInt(), Qt::Unchecked);
}

TEST(TopRectTest, KeepsTheTopAndNeverOutgrowsTheCell)
{
    EXPECT_EQ(TopAlignedDelegate::topRect(QRect(5, 10, 50, 60), 14), QRect(5, 10, 50, 14));
    EXPECT_EQ(TopAlignedDelegate::topRect(QRect(5, 10, 50, 8), 14), QRect(5, 10, 50, 8));
    EXPECT_EQ(TopAlignedDelegate::topRect(QRect(5, 10, 50, 60), -3), QRect(5, 10, 50, 0));
}

} // namespace
} // namespace corvantis
