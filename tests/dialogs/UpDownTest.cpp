#include "dialogs/UpDown.h"

#include "WindowTestSupport.h"

#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

namespace tavo {
namespace {

class UpDownTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { tavo::testing::ensureApplication(); }

    QToolButton* arrow(UpDown& upDown, Qt::ArrowType type)
    {
        for (QToolButton* button : upDown.findChildren<QToolButton*>()) {
            if (button->arrowType() == type)
                return button;
        }
        return nullptr;
    }

    QWidget m_parent;
    QLineEdit* m_edit = new QLineEdit(&m_parent);
};

TEST_F(UpDownTest, StartsAtItsPositionAndShowsItInTheAssociate)
{
    UpDown upDown(m_edit, 1, 20, 13, &m_parent);
    EXPECT_EQ(upDown.position(), 13);
    EXPECT_EQ(m_edit->text(), QStringLiteral("13"));
    EXPECT_EQ(upDown.minimum(), 1);
    EXPECT_EQ(upDown.maximum(), 20);
}

TEST_F(UpDownTest, ArrowClicksStepByOneAndStopAtTheLimitsWithoutWrapping)
{
    UpDown upDown(m_edit, 1, 8, 1, &m_parent);
    upDown.resize(15, 21);
    QToolButton* up = arrow(upDown, Qt::UpArrow);
    QToolButton* down = arrow(upDown, Qt::DownArrow);
    ASSERT_NE(up, nullptr);
    ASSERT_NE(down, nullptr);

    QTest::mouseClick(down, Qt::LeftButton);
    EXPECT_EQ(m_edit->text(), QStringLiteral("1"));
    for (int i = 0; i < 3; ++i)
        QTest::mouseClick(up, Qt::LeftButton);
    EXPECT_EQ(m_edit->text(), QStringLiteral("4"));
    for (int i = 0; i < 10; ++i)
        QTest::mouseClick(up, Qt::LeftButton);
    EXPECT_EQ(m_edit->text(), QStringLiteral("8"));
    EXPECT_EQ(upDown.position(), 8);
    QTest::mouseClick(down, Qt::LeftButton);
    EXPECT_EQ(m_edit->text(), QStringLiteral("7"));
}

TEST_F(UpDownTest, ArrowKeysInTheAssociateStepItToo)
{
    UpDown upDown(m_edit, 1, 20, 19, &m_parent);
    QTest::keyClick(m_edit, Qt::Key_Up);
    EXPECT_EQ(m_edit->text(), QStringLiteral("20"));
    QTest::keyClick(m_edit, Qt::Key_Up);
    EXPECT_EQ(m_edit->text(), QStringLiteral("20"));
    for (int i = 0; i < 25; ++i)
        QTest::keyClick(m_edit, Qt::Key_Down);
    EXPECT_EQ(m_edit->text(), QStringLiteral("1"));
    EXPECT_EQ(upDown.position(), 1);
}

TEST_F(UpDownTest, SetPositionClampsIntoTheLimitsAndSignalsOnlyChanges)
{
    UpDown upDown(m_edit, 1, 20, 13, &m_parent);
    QSignalSpy spy(&upDown, &UpDown::positionChanged);
    upDown.setPosition(25);
    EXPECT_EQ(upDown.position(), 20);
    EXPECT_EQ(m_edit->text(), QStringLiteral("20"));
    upDown.setPosition(0);
    EXPECT_EQ(m_edit->text(), QStringLiteral("1"));
    upDown.setPosition(1);
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(spy.at(0).at(0).toInt(), 20);
    EXPECT_EQ(spy.at(1).at(0).toInt(), 1);
}

TEST_F(UpDownTest, AStepStartsFromTheShownNumberClampedIntoTheLimits)
{
    // Start-up writes the default thread count straight into the field, beyond the limits.
    UpDown upDown(m_edit, 1, 8, 1, &m_parent);
    QSignalSpy spy(&upDown, &UpDown::positionChanged);
    m_edit->setText(QStringLiteral("30"));
    upDown.stepBy(-1);
    EXPECT_EQ(m_edit->text(), QStringLiteral("7"));

    m_edit->setText(QStringLiteral("30"));
    upDown.stepBy(1);
    EXPECT_EQ(m_edit->text(), QStringLiteral("8"));

    // A number written inside the limits is where the next step starts.
    m_edit->setText(QStringLiteral("5"));
    upDown.stepBy(1);
    EXPECT_EQ(m_edit->text(), QStringLiteral("6"));

    // Text that is no whole number leaves the last position as the start.
    m_edit->setText(QStringLiteral("many"));
    upDown.stepBy(1);
    EXPECT_EQ(m_edit->text(), QStringLiteral("7"));

    m_edit->setText(QStringLiteral("-3"));
    upDown.stepBy(-1);
    EXPECT_EQ(m_edit->text(), QStringLiteral("1"));
    // 7 (from 30), 8 (from 30 again: shown text changed), 6, 7, 1.
    EXPECT_EQ(spy.count(), 5);
}

} // namespace
} // namespace tavo
