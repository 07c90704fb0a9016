#include "csvfile.h"

#include <QDateTime>

CsvFile::CsvFile(const QString &path) : file(path) {}

bool CsvFile::open()
{
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write("\xEF\xBB\xBF");
    return true;
}

void CsvFile::writeRow(const QStringList &fields)
{
    QString line;
    for (int i = 0; i < fields.size(); ++i) {
        QString f = fields.at(i);
        if (f.contains(QLatin1Char(',')) || f.contains(QLatin1Char('"')) || f.contains(QLatin1Char('\n'))
            || f.contains(QLatin1Char('\r')))
            f = QLatin1Char('"') + f.replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
        if (i)
            line += QLatin1Char(',');
        line += f;
    }
    line += QLatin1String("\r\n");
    file.write(line.toUtf8());
}

bool CsvFile::commit()
{
    return file.commit();
}

QString CsvFile::localTime(qint64 msecs)
{
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(msecs);
    const int offset = t.offsetFromUtc();
    const int minutes = qAbs(offset) / 60;
    return t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
        + QString::asprintf("%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
}
