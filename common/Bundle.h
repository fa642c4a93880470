#pragma once

#include <QtCore/QString>

// An application bundle: a directory holding the executable and Resources/.
class Bundle {
public:
    explicit Bundle(QString root) : root_(std::move(root)) {}

    // The bundle of the running program: the directory of its executable, never
    // the working directory.
    static Bundle main();

    const QString& root() const { return root_; }
    QString resourcesPath() const { return root_ + QStringLiteral("/Resources"); }

    // "Resources/NAME.TYPE" inside the bundle, whether or not that file exists.
    QString resourcePath(const QString& name, const QString& type) const;
    // resourcePath() when that file exists, else empty.
    QString pathForResource(const QString& name, const QString& type) const;
    // Whether this process may write into Resources/ (a bundle installed for
    // everyone, by a package, is not its user's to change).
    bool resourcesWritable() const;

private:
    QString root_;
};
