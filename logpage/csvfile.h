#ifndef CSVFILE_H
#define CSVFILE_H

#include <QSaveFile>
#include <QStringList>

// A CSV file as Excel on Windows reads it: UTF-8 with a byte order mark (or
// the Chinese names come out garbled), CRLF lines, fields quoted when they
// hold a comma, a quote or a line break. Written through a save file, so a
// failed export never leaves half a file under the chosen name.
class CsvFile
{
public:
    explicit CsvFile(const QString &path);
    bool open();
    void writeRow(const QStringList &fields);
    // False with errorString() when anything could not be written.
    bool commit();
    QString errorString() const { return file.errorString(); }

    // ISO 8601 in local time with the offset, e.g. 2026-03-01T08:00:00.250+08:00.
    static QString localTime(qint64 msecs);

private:
    QSaveFile file;
};

#endif
