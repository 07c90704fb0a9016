#include "treemodel.h"

#include <QAbstractItemModelTester>
#include <QTest>

namespace {

const QString kRoot = QStringLiteral("设备列表");

// A row as the select returns it: the level as a 64-bit integer.
QMap<QString, QVariant> row(const QString &item, const QString &parent = kRoot, qlonglong level = 1)
{
    return {{"item", item}, {"parent", parent}, {"Level", level}};
}

} // namespace

class TestTreeModel : public QObject
{
    Q_OBJECT

private slots:
    void buildTree_data()
    {
        QTest::addColumn<RowSet>("rows");
        QTest::addColumn<QString>("tree");
        QTest::newRow("two areas, devices mixed")
            << RowSet{row("A"), row("B"), row("D1", "B", 2), row("D2", "A", 2), row("D3", "B", 2), row("D4", "A", 2)}
            << "A[D2,D4] B[D1,D3]";
        QTest::newRow("devices of both areas before either")
            << RowSet{row("D1", "B", 2), row("D2", "A", 2), row("A"), row("D3", "A", 2), row("B")} << "A[D2,D3] B[D1]";
        QTest::newRow("orphan; level plays no part")
            << RowSet{row("A", kRoot, 7), row("X", "Nowhere", 2), row("D", "A", 1), row("B")} << "A[D] B[]";
    }

    void buildTree()
    {
        QFETCH(RowSet, rows);
        TreeModel model({kRoot}, rows);
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QStringList areas;
        for (int a = 0; a < model.rowCount(); ++a) {
            const QModelIndex area = model.index(a, 0);
            QStringList devices;
            for (int d = 0; d < model.rowCount(area); ++d)
                devices << model.index(d, 0, area).data().toString();
            areas << area.data().toString() + '[' + devices.join(',') + ']';
        }
        QTEST(areas.join(' '), "tree");

        // Only the names are shown: the level is no column, also not under an area.
        const QModelIndex area = model.index(0, 0);
        QCOMPARE(model.columnCount(area), 1);
        for (int column : {1, -1})
            QVERIFY(!model.index(0, column).isValid() && !model.index(0, column, area).isValid());
        QVERIFY(!model.index(model.rowCount(), 0).isValid() && !model.index(model.rowCount(area), 0, area).isValid());
        // Out of range: refused, nothing moves (the tester checks that no signal lies).
        QVERIFY(!model.removeRows(model.rowCount(), 1));
        QVERIFY(!model.removeRows(-1, 1, area));
        QVERIFY(!model.removeRows(1, INT_MAX, area));
        QVERIFY(model.removeRows(0, model.rowCount()));
    }
};

QTEST_MAIN(TestTreeModel)

#include "tst_treemodel.moc"
