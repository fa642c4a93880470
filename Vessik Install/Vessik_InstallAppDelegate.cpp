// The installer: copying the carried application and its login item.
#include "Vessik_InstallAppDelegate.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QUrl>
#include <QtGui/QPalette>
#include <QtGui/QScreen>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QStyle>
#include <QtWidgets/QWidget>

#include "common/Bundle.h"

// The wording, spelling included, is the installer's established text.
const QString Vessik_InstallAppDelegate::kSuccessMessage =
    QStringLiteral("Application have\nbeen installed\nsuccesfully.");
const QString Vessik_InstallAppDelegate::kFailureMessage =
    QStringLiteral("Application have\nbeen allready\ninstalled.\nPlease remove\nprevious version\nand try again.");

Vessik_InstallAppDelegate::Vessik_InstallAppDelegate(InstallLocations locations, InstallerServices services,
                                                     QObject* parent)
    : QObject(parent), locations_(std::move(locations)), services_(std::move(services)) {}

void Vessik_InstallAppDelegate::log(const QString& line) const {
    if (services_.log) {
        services_.log->log(line);
    }
}

void Vessik_InstallAppDelegate::applicationDidFinishLaunching() {
    if (window_ == nullptr) {
        return;
    }
    const QScreen* screen = window_->screen();
    if (screen == nullptr) {
        return;
    }
    window_->setGeometry(
        QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, window_->size(), screen->availableGeometry()));
}

void Vessik_InstallAppDelegate::installButton(QObject* /*sender*/) {
    const QString source =
        Bundle(locations_.bundleRoot).pathForResource(QStringLiteral("Vessik"), QStringLiteral("app"));
    QString error;
    bool copied = false;
    if (source.isEmpty()) {
        error = QStringLiteral("The installer does not carry the application: '%1' does not exist")
                    .arg(locations_.bundleRoot + QStringLiteral("/Resources/Vessik.app"));
    } else {
        copied = services_.files->copyItem(source, locations_.targetPath(), &error);
    }
    // The settings are the user's alone, whoever may read the copy's source (a
    // package's template is readable by everyone).
    const QString settings = locations_.targetPath() + QStringLiteral("/Resources/Settings.plist");
    if (copied && !services_.files->restrictToOwner(settings)) {
        log(QStringLiteral("Cannot make '%1' private to its owner.").arg(settings));
    }

    if (copied) {
        setStartAtLogin(autorunCheckBox_ != nullptr && autorunCheckBox_->isChecked());
        addMenuEntry();
        showMessage(kSuccessMessage, Qt::green);
        if (installButton_ != nullptr) {
            installButton_->setEnabled(false);
        }
    } else {
        log(error);
        showMessage(kFailureMessage, Qt::red);
    }
}

void Vessik_InstallAppDelegate::addMenuEntry() {
    if (!services_.menu) {
        return;
    }
    // The installed copy's own picture, so the entry does not depend on the installer.
    const QString icon = Bundle(locations_.targetPath()).pathForResource(QStringLiteral("tray"), QStringLiteral("png"));
    if (const std::optional<QString> error = services_.menu->addEntry(locations_.installedProgram(), icon)) {
        log(*error);
    }
    if (const std::optional<QString> error = services_.menu->addCommand(locations_.installedProgram())) {
        log(*error);
    }
}

void Vessik_InstallAppDelegate::closeButton(QObject* /*sender*/) {
    QCoreApplication::quit();
}

void Vessik_InstallAppDelegate::showMessage(const QString& text, Qt::GlobalColor color) {
    if (messageLabel_ == nullptr) {
        return;
    }
    QPalette palette = messageLabel_->palette();
    palette.setColor(QPalette::WindowText, color);
    messageLabel_->setPalette(palette);
    messageLabel_->setText(text);
}

std::optional<LoginItem> Vessik_InstallAppDelegate::findLoginItem(bool& listed) {
    listed = false;
    std::vector<LoginItem> items;
    if (!services_.loginItems || !services_.loginItems->snapshot(items)) {
        return std::nullopt;
    }
    listed = true;
    // Exact URL equality, not file identity: the same file reached by another
    // spelling of its path is a different item.
    const QUrl application = QUrl::fromLocalFile(locations_.installedProgram());
    for (const LoginItem& item : items) {
        const std::optional<QUrl> resolved = services_.loginItems->resolve(item);
        if (resolved && *resolved == application) {
            return item;
        }
    }
    return std::nullopt;
}

bool Vessik_InstallAppDelegate::getStartAtLogin() {
    bool listed = false;
    return findLoginItem(listed).has_value();
}

void Vessik_InstallAppDelegate::setStartAtLogin(bool enabled) {
    bool listed = false;
    const std::optional<LoginItem> match = findLoginItem(listed);
    if (!listed) {
        return;
    }
    if (enabled && !match) {
        services_.loginItems->insertFirst(QUrl::fromLocalFile(locations_.installedProgram()));
    } else if (!enabled && match) {
        services_.loginItems->remove(*match);
    }
}
