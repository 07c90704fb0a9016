#ifndef SQLFILE_H
#define SQLFILE_H

#include <QtSql>

// Runs SQL on a file through a connection of its own, apart from the
// program's: the rows, each its columns joined by '|', or "failed: <reason>".
inline QStringList sql(const QString &statement, const QString &file = "data.db")
{
    QStringList rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "inspect");
        db.setDatabaseName(file);
        QSqlQuery query(db);
        if (!db.open() || !query.exec(statement))
            rows << "failed: " + query.lastError().text();
        while (query.next()) {
            QStringList columns;
            for (int i = 0; i < query.record().count(); ++i)
                columns << query.value(i).toString();
            rows << columns.join('|');
        }
    }
    QSqlDatabase::removeDatabase("inspect");
    return rows;
}

#endif
