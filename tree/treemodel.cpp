#include "treemodel.h"

#include "treeitem.h"

namespace {

// Appends a two-column node (name, level) for a TreeView row.
void appendRow(TreeItem *parent, const QMap<QString, QVariant> &row)
{
    parent->insertChildren(parent->childCount(), 1, 2);
    TreeItem *node = parent->child(parent->childCount() - 1);
    node->setData(0, row.value(QStringLiteral("item")));
    node->setData(1, row.value(QStringLiteral("Level")));
}

} // namespace

TreeModel::TreeModel(const QStringList &headers, const RowSet &rows, QObject *parent)
    : QAbstractItemModel(parent)
{
    QVector<QVariant> rootData;
    for (const QString &header : headers)
        rootData << header;
    rootItem = new TreeItem(rootData);
    buildTree(rows, rootItem);
}

TreeModel::~TreeModel()
{
    delete rootItem;
}

// Rows come in whatever order the table holds them: an area's devices are
// gathered from the whole remaining list as soon as the area is placed, so
// a device stored before its area still lands under it. Rows whose parent is
// neither the root nor a placed area are left out.
void TreeModel::buildTree(RowSet rows, TreeItem *root)
{
    const QVariant rootName = root->data(0);
    const QString parentKey = QStringLiteral("parent");
    int i = 0;
    while (i < rows.size()) {
        if (rows.at(i).value(parentKey) != rootName) {
            ++i;
            continue;
        }
        const QMap<QString, QVariant> area = rows.takeAt(i);
        appendRow(root, area);
        TreeItem *areaNode = root->child(root->childCount() - 1);
        const QVariant areaName = area.value(QStringLiteral("item"));
        // Devices standing before position i shift the walk back with them.
        for (int j = 0; j < rows.size();) {
            if (rows.at(j).value(parentKey) == areaName) {
                appendRow(areaNode, rows.takeAt(j));
                if (j < i)
                    --i;
            } else {
                ++j;
            }
        }
    }
}

TreeItem *TreeModel::getItem(const QModelIndex &index) const
{
    if (index.isValid()) {
        if (auto *item = static_cast<TreeItem *>(index.internalPointer()))
            return item;
    }
    return rootItem;
}

int TreeModel::levelOf(const QModelIndex &index) const
{
    if (!index.isValid())
        return 0;
    return getItem(index)->data(1).toInt();
}

QModelIndex TreeModel::index(int row, int column, const QModelIndex &parent) const
{
    if ((parent.isValid() && parent.column() != 0) || column < 0 || column >= columnCount(parent))
        return QModelIndex();
    if (TreeItem *child = getItem(parent)->child(row))
        return createIndex(row, column, child);
    return QModelIndex();
}

QModelIndex TreeModel::parent(const QModelIndex &index) const
{
    if (!index.isValid())
        return QModelIndex();
    TreeItem *parentItem = getItem(index)->parentItem();
    if (!parentItem || parentItem == rootItem)
        return QModelIndex();
    return createIndex(parentItem->childIndex(), 0, parentItem);
}

int TreeModel::rowCount(const QModelIndex &parent) const
{
    // Children hang off column 0 only, as index() has it.
    if (parent.isValid() && parent.column() != 0)
        return 0;
    return getItem(parent)->childCount();
}

int TreeModel::columnCount(const QModelIndex &) const
{
    return rootItem->columnCount();
}

QVariant TreeModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole))
        return QVariant();
    return getItem(index)->data(index.column());
}

bool TreeModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    // The root behind an invalid index holds the header; that changes through setHeaderData.
    if (role != Qt::EditRole || !index.isValid())
        return false;
    const bool result = getItem(index)->setData(index.column(), value);
    if (result)
        emit dataChanged(index, index, {});
    return result;
}

QVariant TreeModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return rootItem->data(section);
    return QVariant();
}

bool TreeModel::setHeaderData(int section, Qt::Orientation orientation, const QVariant &value, int role)
{
    if (role != Qt::EditRole || orientation != Qt::Horizontal)
        return false;
    const bool result = rootItem->setData(section, value);
    if (result)
        emit headerDataChanged(orientation, section, section);
    return result;
}

// The structural changes below announce only ranges that exist: a refused
// position or an empty count changes nothing and tells the views nothing.

bool TreeModel::insertRows(int position, int rows, const QModelIndex &parent)
{
    TreeItem *parentItem = getItem(parent);
    if (position < 0 || position > parentItem->childCount())
        return false;
    if (rows < 1)
        return true;
    beginInsertRows(parent, position, position + rows - 1);
    const bool result = parentItem->insertChildren(position, rows, rootItem->columnCount());
    endInsertRows();
    return result;
}

bool TreeModel::insertColumns(int position, int columns, const QModelIndex &parent)
{
    if (position < 0 || position > rootItem->columnCount())
        return false;
    if (columns < 1)
        return true;
    beginInsertColumns(parent, position, position + columns - 1);
    const bool result = rootItem->insertColumns(position, columns);
    endInsertColumns();
    return result;
}

bool TreeModel::removeRows(int position, int rows, const QModelIndex &parent)
{
    TreeItem *parentItem = getItem(parent);
    if (position < 0 || rows > parentItem->childCount() - position)
        return false;
    if (rows < 1)
        return true;
    beginRemoveRows(parent, position, position + rows - 1);
    const bool result = parentItem->removeChildren(position, rows);
    endRemoveRows();
    return result;
}

bool TreeModel::removeColumns(int position, int columns, const QModelIndex &parent)
{
    if (position < 0 || columns > rootItem->columnCount() - position)
        return false;
    if (columns < 1)
        return true;
    beginRemoveColumns(parent, position, position + columns - 1);
    const bool result = rootItem->removeColumns(position, columns);
    endRemoveColumns();
    if (rootItem->columnCount() == 0)
        removeRows(0, rowCount());
    return result;
}

Qt::ItemFlags TreeModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return QAbstractItemModel::flags(index);
}
