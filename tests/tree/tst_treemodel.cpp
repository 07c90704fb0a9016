#include "treeitem.h"
#include "treemodel.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>

namespace {

const QString kRoot = QStringLiteral("设备列表");

// A row as the select returns it: the level as a 64-bit integer.
QMap<QString, QVariant> row(const QString &item, const QString &parent, qlonglong level)
{
    return {{"item", item}, {"parent", parent}, {"Level", level}};
}

QMap<QString, QVariant> areaRow(const QString &name)
{
    return row(name, kRoot, 1);
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
    if (!item->insertChildren(item->childCount(), 1, 2))
        return QModelIndex();
    TreeItem *node = item->child(item->childCount() - 1);
    node->setData(0, name);
    node->setData(1, level);
    return model.index(item->childCount() - 1, 0, parent);
}

} // namespace

class TestTreeModel : public QObject
{
    Q_OBJECT

private slots:
    void buildTree_data();
    void buildTree();
    void levelsColumnsAndFlags();
    void itemBounds();
    void structuralChangesUnderTester();
    void refusedChangesTellNothing();
    void pageInsertionShowsAfterReset();
};

void TestTreeModel::buildTree_data()
{
    QTest::addColumn<RowSet>("rows");
    QTest::addColumn<QString>("tree");

    QTest::newRow("empty") << RowSet() << QString();
    QTest::newRow("device stored before its area")
        << RowSet{row("D1", "A", 2), areaRow("A")} << "A[D1]";
    QTest::newRow("two areas, devices mixed")
        << RowSet{areaRow("A"), areaRow("B"), row("D1", "B", 2), row("D2", "A", 2), row("D3", "B", 2), row("D4", "A", 2)}
        << "A[D2,D4] B[D1,D3]";
    QTest::newRow("device of A, area A, empty area B")
        << RowSet{row("D", "A", 2), areaRow("A"), areaRow("B")} << "A[D] B[]";
    QTest::newRow("devices of both areas before either")
        << RowSet{row("D1", "B", 2), row("D2", "A", 2), areaRow("A"), row("D3", "A", 2), areaRow("B")}
        << "A[D2,D3] B[D1]";
    QTest::newRow("orphan among rows")
        << RowSet{areaRow("A"), row("X", "Nowhere", 2), row("D", "A", 2), areaRow("B")} << "A[D] B[]";
    QTest::newRow("rows below a device are not shown")
        << RowSet{areaRow("A"), row("D", "A", 2), row("S", "D", 3)} << "A[D]";
    QTest::newRow("level plays no part in placing")
        << RowSet{row("A", kRoot, 7), row("D", "A", 1)} << "A[D]";
}

void TestTreeModel::buildTree()
{
    QFETCH(RowSet, rows);
    QFETCH(QString, tree);
    TreeModel model({kRoot}, rows);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QCOMPARE(render(model), tree);
}

void TestTreeModel::levelsColumnsAndFlags()
{
    TreeModel model({kRoot}, {areaRow("A"), row("D", "A", 2)});
    const QModelIndex area = model.index(0, 0);
    const QModelIndex device = model.index(0, 0, area);

    QCOMPARE(model.levelOf(QModelIndex()), 0);
    QCOMPARE(model.levelOf(area), 1);
    QCOMPARE(model.levelOf(device), 2);
    QCOMPARE(model.levelOf(addNode(model, QModelIndex(), "B", QStringLiteral("1"))), 1);

    // Only the names are shown, but the level is there for whoever asks.
    QCOMPARE(model.columnCount(), 1);
    QCOMPARE(model.columnCount(area), 1);
    QCOMPARE(model.index(0, 1, area).data(), QVariant(qlonglong(2)));
    QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), kRoot);
    QVERIFY(!model.headerData(0, Qt::Vertical).isValid());
    QVERIFY(!device.data(Qt::DecorationRole).isValid());
    QVERIFY(!device.data(Qt::ToolTipRole).isValid());
    QCOMPARE(device.data(Qt::EditRole).toString(), QStringLiteral("D"));
    QCOMPARE(model.parent(device), area);
    QVERIFY(!model.parent(area).isValid());
    QVERIFY(!model.index(0, 0, model.index(0, 1)).isValid());

    QCOMPARE(model.flags(QModelIndex()), Qt::NoItemFlags);
    QCOMPARE(model.flags(device), Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    QCOMPARE(model.getItem(QModelIndex())->data(0).toString(), kRoot);
}

void TestTreeModel::itemBounds()
{
    // What the model does not reach: node insertion at the edges and the
    // column changes that run through a whole subtree.
    TreeItem root({kRoot});
    QVERIFY(!root.insertChildren(1, 1, 2));
    QVERIFY(root.insertChildren(0, 0, 2));
    QVERIFY(root.insertChildren(0, 2, 2));
    TreeItem *node = root.child(1);
    QCOMPARE(node->childIndex(), 1);
    QCOMPARE(node->parentItem(), &root);
    QVERIFY(node->setData(1, 2));
    QVERIFY(!node->setData(2, 2));

    QVERIFY(!root.insertColumns(2, 1));
    QVERIFY(root.insertColumns(1, 2));
    QCOMPARE(root.columnCount(), 3);
    QCOMPARE(node->data(3).toInt(), 2);
    QVERIFY(!root.removeColumns(2, 2));
    QVERIFY(root.removeColumns(0, 3));
    QCOMPARE(node->columnCount(), 1);
    QCOMPARE(node->data(0).toInt(), 2);
}

void TestTreeModel::structuralChangesUnderTester()
{
    TreeModel model({kRoot}, {areaRow("A"), row("D1", "A", 2), row("D2", "A", 2), areaRow("B")});
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    const QModelIndex a = model.index(0, 0);

    QVERIFY(model.insertRows(1, 2, a));
    QCOMPARE(model.rowCount(a), 4);
    QVERIFY(model.setData(model.index(1, 0, a), "N1"));
    QVERIFY(model.setData(model.index(2, 0, a), "N2"));
    QCOMPARE(render(model), QStringLiteral("A[D1,N1,N2,D2] B[]"));
    // Rows made through the model carry the view's column count.
    QVERIFY(!model.setData(model.index(1, 1, a), 2));

    QVERIFY(model.removeRows(0, 2, a));
    QCOMPARE(render(model), QStringLiteral("A[N2,D2] B[]"));
    QVERIFY(model.removeRows(1, 1));
    QCOMPARE(render(model), QStringLiteral("A[N2,D2]"));

    qRegisterMetaType<Qt::Orientation>();
    QSignalSpy headerChanged(&model, &QAbstractItemModel::headerDataChanged);
    QVERIFY(model.setHeaderData(0, Qt::Horizontal, "Devices"));
    QCOMPARE(headerChanged.count(), 1);
    QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Devices"));
    QVERIFY(!model.setHeaderData(0, Qt::Vertical, "x"));
    QVERIFY(!model.setHeaderData(0, Qt::Horizontal, "x", Qt::DisplayRole));
    QVERIFY(!model.setHeaderData(3, Qt::Horizontal, "x"));

    QVERIFY(model.insertColumns(1, 1));
    QCOMPARE(model.columnCount(), 2);
    QCOMPARE(model.rowCount(model.index(0, 1)), 0);
    // Removing every column leaves nothing to show.
    QVERIFY(model.removeColumns(0, 2));
    QCOMPARE(model.columnCount(), 0);
    QCOMPARE(model.rowCount(), 0);
}

void TestTreeModel::refusedChangesTellNothing()
{
    TreeModel model({kRoot}, {areaRow("A"), row("D", "A", 2)});
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    const QModelIndex a = model.index(0, 0);
    const QModelIndex d = model.index(0, 0, a);
    QSignalSpy aboutToRemove(&model, &QAbstractItemModel::rowsAboutToBeRemoved);
    QSignalSpy aboutToInsert(&model, &QAbstractItemModel::rowsAboutToBeInserted);
    QSignalSpy columnsAboutToChange(&model, &QAbstractItemModel::columnsAboutToBeRemoved);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

    QVERIFY(!model.removeRows(1, 1));
    QVERIFY(!model.removeRows(0, 2));
    QVERIFY(!model.removeRows(-1, 1, a));
    QVERIFY(!model.removeRows(0, INT_MAX, a));
    QVERIFY(!model.insertRows(3, 1));
    QVERIFY(!model.insertRows(-1, 1, a));
    QVERIFY(model.insertRows(0, 0, a));
    QVERIFY(!model.removeColumns(1, 1));
    QVERIFY(!model.setData(d, "x", Qt::DisplayRole));
    QVERIFY(!model.setData(QModelIndex(), "x"));
    QVERIFY(!model.setData(model.index(0, 2, a), "x"));

    QCOMPARE(aboutToRemove.count() + aboutToInsert.count() + columnsAboutToChange.count() + changed.count(), 0);
    QCOMPARE(render(model), QStringLiteral("A[D]"));
    QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), kRoot);

    QVERIFY(model.setData(d, "E"));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toModelIndex(), d);
}

void TestTreeModel::pageInsertionShowsAfterReset()
{
    TreeModel model({kRoot}, {areaRow("A"), row("D", "A", 2)});
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QTreeView view;
    view.setModel(&model);
    view.resize(300, 400);
    view.show();
    view.expandAll();

    // A new area with its level as the page writes it, then a device under it.
    const QModelIndex area = addNode(model, QModelIndex(), QStringLiteral("B"), QStringLiteral("1"));
    QVERIFY(area.isValid());
    view.reset();
    const QModelIndex device = addNode(model, area, QStringLiteral("T"), 2);
    QVERIFY(device.isValid());
    view.reset();
    view.expandAll();

    QCOMPARE(render(model), QStringLiteral("A[D] B[T]"));
    QCOMPARE(model.levelOf(area), 1);
    QCOMPARE(model.levelOf(device), 2);
    QVERIFY(view.isExpanded(area));
    QVERIFY(view.visualRect(device).isValid());
    QCOMPARE(view.indexAt(view.visualRect(device).center()), device);

    // The model keeps working normally on the nodes added behind its back.
    QVERIFY(model.removeRows(0, 1, area));
    QVERIFY(model.removeRows(0, 1));
    QCOMPARE(render(model), QStringLiteral("B[]"));
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    TestTreeModel test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_treemodel.moc"
