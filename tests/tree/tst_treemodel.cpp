#include "treemodel.h"

#include <QAbstractItemModelTester>
#include <QTest>

class TestTreeModel : public QObject
{
    Q_OBJECT

private slots:
    void buildTree_data()
    {
        // "item<parent:level" rows as the select returns them (the level a 64-bit integer).
        QTest::addColumn<QString>("rows");
        QTest::addColumn<QString>("tree");
        QTest::newRow("devices mixed") << "A<R:1 B<R:1 D1<B:2 D2<A:2 D3<B:2 D4<A:2" << "A[D2,D4] B[D1,D3]";
        QTest::newRow("devices before their areas") << "D1<B:2 D2<A:2 A<R:1 D3<A:2 B<R:1" << "A[D2,D3] B[D1]";
        QTest::newRow("orphan; level plays no part") << "A<R:7 X<Nowhere:2 D<A:1 B<R:1" << "A[D] B[]";
    }

    void buildTree()
    {
        QFETCH(QString, rows);
        RowSet set;
        for (const QString &r : rows.split(' '))
            set << QMap<QString, QVariant>{{"item", r.section('<', 0, 0)},
                                           {"parent", r.section('<', 1).section(':', 0, 0).replace("R", "设备列表")},
                                           {"Level", r.section(':', 1).toLongLong()}};
        TreeModel model({"设备列表"}, set);
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
        // Only the names are shown; out of range is refused and moves nothing.
        const QModelIndex area = model.index(0, 0);
        QCOMPARE(model.columnCount(area), 1);
        QVERIFY(!model.index(0, 1, area).isValid() && !model.index(model.rowCount(area), 0, area).isValid());
        QVERIFY(!model.removeRows(model.rowCount(), 1) && !model.removeRows(-1, 1, area) && !model.removeRows(1, INT_MAX, area));
        QVERIFY(model.removeRows(0, model.rowCount()));
    }
};

QTEST_MAIN(TestTreeModel)
#include "tst_treemodel.moc"
