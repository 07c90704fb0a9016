#ifndef TREEITEM_H
#define TREEITEM_H

#include <QList>
#include <QVariant>
#include <QVector>

// One node of the device tree. Owns its children; column 0 holds the name,
// column 1 the level (the root holds the header texts instead).
class TreeItem
{
public:
    explicit TreeItem(const QVector<QVariant> &data, TreeItem *parent = nullptr);
    ~TreeItem();

    TreeItem(const TreeItem &) = delete;
    TreeItem &operator=(const TreeItem &) = delete;

    TreeItem *child(int number) const;
    int childCount() const;
    int childIndex() const;
    int columnCount() const;
    QVariant data(int column) const;
    bool setData(int column, const QVariant &value);
    bool insertChildren(int position, int count, int columns);
    bool removeChildren(int position, int count);
    bool insertColumns(int position, int columns);
    bool removeColumns(int position, int columns);
    TreeItem *parentItem() const;

private:
    QList<TreeItem *> childItems;
    QVector<QVariant> itemData;
    TreeItem *parent;
};

#endif // TREEITEM_H
