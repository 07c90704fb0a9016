#ifndef TREEMODEL_H
#define TREEMODEL_H

#include "records.h"

#include <QAbstractItemModel>
#include <QStringList>

class TreeItem;

// The areas and devices of the TreeView table as a two-level tree under an
// invisible root that holds the header texts. Built once from the rows; the
// page keeps it in step with the database afterwards.
class TreeModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    TreeModel(const QStringList &headers, const RowSet &rows, QObject *parent = nullptr);
    ~TreeModel() override;

    TreeItem *getItem(const QModelIndex &index) const;
    // 0 no node, 1 area, 2 device.
    int levelOf(const QModelIndex &index) const;

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &index) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    bool setHeaderData(int section, Qt::Orientation orientation, const QVariant &value,
                       int role = Qt::EditRole) override;
    bool insertRows(int position, int rows, const QModelIndex &parent = QModelIndex()) override;
    bool insertColumns(int position, int columns, const QModelIndex &parent = QModelIndex()) override;
    bool removeRows(int position, int rows, const QModelIndex &parent = QModelIndex()) override;
    bool removeColumns(int position, int columns, const QModelIndex &parent = QModelIndex()) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    static void buildTree(RowSet rows, TreeItem *root);

    TreeItem *rootItem;
};

#endif // TREEMODEL_H
