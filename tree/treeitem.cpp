#include "treeitem.h"

TreeItem::TreeItem(const QVector<QVariant> &data, TreeItem *parent)
    : itemData(data), parent(parent)
{
}

TreeItem::~TreeItem()
{
    qDeleteAll(childItems);
}

TreeItem *TreeItem::child(int number) const
{
    if (number < 0 || number >= childItems.size())
        return nullptr;
    return childItems.at(number);
}

int TreeItem::childCount() const
{
    return childItems.size();
}

int TreeItem::childIndex() const
{
    if (!parent)
        return 0;
    return parent->childItems.indexOf(const_cast<TreeItem *>(this));
}

int TreeItem::columnCount() const
{
    return itemData.size();
}

QVariant TreeItem::data(int column) const
{
    if (column < 0 || column >= itemData.size())
        return QVariant();
    return itemData.at(column);
}

bool TreeItem::setData(int column, const QVariant &value)
{
    if (column < 0 || column >= itemData.size())
        return false;
    itemData[column] = value;
    return true;
}

bool TreeItem::insertChildren(int position, int count, int columns)
{
    if (position < 0 || position > childItems.size())
        return false;
    for (int row = 0; row < count; ++row)
        childItems.insert(position, new TreeItem(QVector<QVariant>(qMax(columns, 0)), this));
    return true;
}

bool TreeItem::removeChildren(int position, int count)
{
    // Written so that a huge count cannot overflow the bound check.
    if (position < 0 || count > childItems.size() - position)
        return false;
    for (int row = 0; row < count; ++row)
        delete childItems.takeAt(position);
    return true;
}

bool TreeItem::insertColumns(int position, int columns)
{
    if (position < 0 || position > itemData.size())
        return false;
    for (int column = 0; column < columns; ++column)
        itemData.insert(position, QVariant());
    for (TreeItem *child : qAsConst(childItems))
        child->insertColumns(position, columns);
    return true;
}

bool TreeItem::removeColumns(int position, int columns)
{
    if (position < 0 || columns > itemData.size() - position)
        return false;
    for (int column = 0; column < columns; ++column)
        itemData.remove(position);
    for (TreeItem *child : qAsConst(childItems))
        child->removeColumns(position, columns);
    return true;
}

TreeItem *TreeItem::parentItem() const
{
    return parent;
}
