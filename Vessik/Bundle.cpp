#include "Bundle.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QFileInfo>

Bundle Bundle::main() {
    return Bundle(QCoreApplication::applicationDirPath());
}

QString Bundle::pathForResource(const QString& name, const QString& type) const {
    const QString path = resourcesPath() + u'/' + name + (type.isEmpty() ? QString() : u'.' + type);
    return QFileInfo::exists(path) ? path : QString();
}
