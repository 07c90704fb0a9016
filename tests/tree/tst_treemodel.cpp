#include "treeitem.h"
#include "treemodel.h"

#include <QAbstractItemModelTester>
#include <QTest>
#include <QTreeView>

namespace {

const QString kRoot = QStringLiteral("设备列表");

// A row as the select returns it: the level as a 64-bit integer.
QMap<QString, QVariant> row(const QString &item, const QString &parent = kRoot, qlonglong level = 1)
{
    return {{"item", item}, {"parent", parent}, {"Level", level}};
}

// "A[D1,D2] B[]" as read through the model's own interface.
QString render(const TreeModel &model)
{
    QStringList areas;
    for (int a = 0; a < model.rowCount(); ++a) {
        const QModelIndex area = model.index(a, 0);
        QStringList devices;
        for (int d = 0; d < model.rowCount(area); ++d)
            devices << model.index(d, 0, area).data().toString();
        areas << area.data().toString() + '[' + devices.join(',') + ']';
    }
    return areas.join(' ');
}

// Adds a node the way the monitoring page does: straight into the item, no model signal.
QModelIndex addNode(TreeModel &model, const QModelIndex &parent, const QString &name, const QVariant &level)
{
    TreeItem *item = model.getItem(parent);
    item->insertChildren(item->childCount(), 1, 2);
    item->child(item->childCount() - 1)->setData(0, name);
    item->child(item->childCount() - 1)->setData(1, level);
    return model.index(item->childCount() - 1, 0, parent);
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
        QTest::newRow("empty") << RowSet() << QString();
        QTest::newRow("two areas, devices mixed")
            << RowSet{row("A"), row("B"), row("D1", "B", 2), row("D2", "A", 2), row("D3", "B", 2), row("D4", "A", 2)}
            << "A[D2,D4] B[D1,D3]";
        QTest::newRow("device of A, A, empty B") << RowSet{row("D", "A", 2), row("A"), row("B")} << "A[D] B[]";
        QTest::newRow("devices of both areas before either")
            << RowSet{row("D1", "B", 2), row("D2", "A", 2), row("A"), row("D3", "A", 2), row("B")} << "A[D2,D3] B[D1]";
        QTest::newRow("orphan") << RowSet{row("A"), row("X", "Nowhere", 2), row("D", "A", 2), row("B")} << "A[D] B[]";
        QTest::newRow("level plays no part") << RowSet{row("A", kRoot, 7), row("D", "A", 1)} << "A[D]";
    }

    void buildTree()
    {
        QFETCH(RowSet, rows);
        TreeModel model({kRoot}, rows);
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QTEST(render(model), "tree");
    }

    void pageUse()
    {
        TreeModel model({kRoot}, {row("A"), row("D", "A", 2)});
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QTreeView view;
        view.setModel(&model);
        view.show();
        // Out of range: refused, nothing moves (the tester checks that no signal lies).
        QVERIFY(!model.removeRows(1, 1));
        QVERIFY(!model.removeRows(-1, 1, model.index(0, 0)));
        QVERIFY(!model.removeRows(1, INT_MAX, model.index(0, 0)));

        // A new area with its level as the page writes it, a device under it, then the view's reset.
        const QModelIndex area = addNode(model, QModelIndex(), QStringLiteral("B"), QStringLiteral("1"));
        const QModelIndex device = addNode(model, area, QStringLiteral("T"), 2);
        view.reset();
        view.expandAll();
        QCOMPARE(render(model), QStringLiteral("A[D] B[T]"));
        QCOMPARE(view.indexAt(view.visualRect(device).center()), device);

        QCOMPARE(model.levelOf(QModelIndex()), 0);
        QCOMPARE(model.levelOf(model.index(0, 0, model.index(0, 0))), 2);
        QCOMPARE(model.levelOf(area), 1);
        // Only the names are shown: the level is reached through levelOf, not through a column.
        QCOMPARE(model.columnCount(area), 1);
        for (int column : {1, 5, -1})
            QVERIFY(!model.index(0, column).isValid() && !model.index(0, column, area).isValid());
        QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), kRoot);
        QCOMPARE(model.flags(device), Qt::ItemIsSelectable | Qt::ItemIsEnabled);

        // The model keeps working on the nodes added behind its back.
        QVERIFY(model.removeRows(0, 1, area));
        QVERIFY(model.removeRows(0, 1));
        QCOMPARE(render(model), QStringLiteral("B[]"));
    }
};

QTEST_MAIN(TestTreeModel)

#include "tst_treemodel.moc"
