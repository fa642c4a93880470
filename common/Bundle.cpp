#include "common/Bundle.h"

#include <unistd.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>

Bundle Bundle::main() {
    return Bundle(QCoreApplication::applicationDirPath());
}

QString Bundle::resourcePath(const QString& name, const QString& type) const {
    return resourcesPath() + u'/' + name + (type.isEmpty() ? QString() : u'.' + type);
}

QString Bundle::pathForResource(const QString& name, const QString& type) const {
    QString path = resourcePath(name, type);
    return QFileInfo::exists(path) ? path : QString();
}

bool Bundle::resourcesWritable() const {
    return ::access(QFile::encodeName(resourcesPath()).constData(), W_OK) == 0;
}
