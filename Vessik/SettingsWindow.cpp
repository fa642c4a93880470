// The settings window: filling the form, saving it, browsing for a picture.
#include <exception>
#include <utility>

#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QStandardPaths>
#include <QtGui/QPalette>
#include <QtGui/QPixmap>
#include <QtWidgets/QApplication>
#include <QtWidgets/QButtonGroup>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QGroupBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLayout>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QWidget>

#include "SettingsKeys.h"
#include "VessikAppDelegate.h"

namespace {

// A failure inside the save's guarded block. Its name is the whole message: the
// block shows it in the error line as it stands.
class NamedError : public std::exception {
public:
    explicit NamedError(QString name) : name_(std::move(name)), utf8_(name_.toUtf8()) {}
    const QString& name() const { return name_; }
    const char* what() const noexcept override { return utf8_.constData(); }

private:
    QString name_;
    QByteArray utf8_;
};

// Marks combo-box items that exist only because the settings file stored a text
// the list does not offer.
constexpr int kStoredOnlyRole = Qt::UserRole + 1;
// The integer a check box was filled with, kept for a box shown in the mixed state.
constexpr const char* kStoredStateProperty = "vessikStoredState";

// The text a text control shows for `key`: a string as it is, any other value by
// its integer value (an integer as its decimal digits); nothing when the key is missing.
std::optional<QString> shownText(const PropertyList& p, const QString& key) {
    if (std::optional<QString> text = p.stringValue(key)) {
        return text;
    }
    if (!p.contains(key)) {
        return std::nullopt;
    }
    return QString::number(p.integerValue(key));
}

void showText(QLineEdit* field, const PropertyList& p, const QString& key) {
    if (field == nullptr) {
        return;
    }
    if (std::optional<QString> text = shownText(p, key)) {
        field->setText(*text);
    }
}

// Shows the stored text in a non-editable combo box: the item with exactly that
// text, or, for a text the list does not offer, an extra item made for it, so the
// text is shown and saved back unchanged. Extra items of earlier fills are dropped.
void showChoice(QComboBox* box, const PropertyList& p, const QString& key) {
    if (box == nullptr) {
        return;
    }
    const std::optional<QString> text = shownText(p, key);
    if (!text) {
        return;
    }
    const Qt::MatchFlags exact = Qt::MatchExactly | Qt::MatchCaseSensitive;
    for (int i = box->count() - 1; i >= 0; --i) {
        if (box->itemData(i, kStoredOnlyRole).toBool() && box->itemText(i) != *text) {
            box->removeItem(i);
        }
    }
    int index = box->findText(*text, exact);
    if (index < 0) {
        box->addItem(*text);
        index = box->count() - 1;
        box->setItemData(index, true, kStoredOnlyRole);
    }
    box->setCurrentIndex(index);
}

// Check-box states are stored as 0 (off) and 1 (on). Any other stored integer
// does not count as on for the hotkeys; the box shows it as mixed and a save
// that leaves the box mixed writes that integer back.
void showState(QCheckBox* box, std::int64_t value) {
    if (box == nullptr) {
        return;
    }
    box->setProperty(kStoredStateProperty, QVariant::fromValue<qlonglong>(value));
    if (value == 0 || value == 1) {
        box->setTristate(false);
        box->setChecked(value == 1);
    } else {
        box->setTristate(true);
        box->setCheckState(Qt::PartiallyChecked);
        // The first click (mouse or key) makes it a plain box: a tristate box would
        // come back to mixed at the third click and save the odd value again.
        QObject::disconnect(box, &QCheckBox::clicked, box, nullptr);
        QObject::connect(
            box, &QCheckBox::clicked, box, [box] { box->setTristate(false); }, Qt::SingleShotConnection);
    }
}

std::int64_t stateOf(const QCheckBox* box) {
    switch (box->checkState()) {
    case Qt::Checked:
        return 1;
    case Qt::Unchecked:
        return 0;
    case Qt::PartiallyChecked:
        break;
    }
    bool ok = false;
    const qlonglong stored = box->property(kStoredStateProperty).toLongLong(&ok);
    return ok ? stored : -1;
}

// What a Vessik that runs from a copy shared by every user (the package's
// template) says about its settings.
QString sharedCopyMessage() {
    return QCoreApplication::translate(
        "VessikAppDelegate", "This copy of Vessik is shared by every user, so its settings cannot be saved. "
                             "Install Vessik for yourself: run vessik-install, or Vessik Install from the menu.");
}

// Shows `text` in the error line. A message that wraps onto more lines makes the
// window taller rather than squeeze the rows above it.
void showError(QLabel* label, QWidget* window, const QString& text) {
    label->setText(text);
    // The layout keeps the window at its minimum size, but that minimum leaves out
    // the extra lines of wrapped text.
    QLayout* layout = window != nullptr ? window->layout() : nullptr;
    if (layout == nullptr || !layout->hasHeightForWidth()) {
        return;
    }
    layout->activate();
    const int needed = layout->totalHeightForWidth(window->width());
    if (window->height() < needed) {
        window->resize(window->width(), needed);
    }
}

std::int64_t integerOf(const QLineEdit* field) {
    return PropertyList::integerValueOfText(field->text());
}

void clearText(QLineEdit* field) {
    if (field != nullptr) {
        field->clear();
    }
}

// The picture chooser offers these extensions, in this order; the file it returns
// is checked against them again, since a name typed into the dialog bypasses its filter.
bool isPictureFile(const QString& path) {
    const QFileInfo info(path);
    const QString suffix = info.suffix().toLower();
    return info.isFile() && (suffix == u"jpg" || suffix == u"gif" || suffix == u"png" || suffix == u"bmp");
}

// Where the picture chooser opens: beside the current picture if its folder
// exists, else the user's pictures folder, else the home folder.
QString startDirectory(const QString& currentPath) {
    if (!currentPath.isEmpty()) {
        const QFileInfo current(currentPath);
        if (current.absoluteDir().exists()) {
            return current.absolutePath();
        }
    }
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (!pictures.isEmpty() && QDir(pictures).exists()) {
        return pictures;
    }
    return QDir::homePath();
}

} // namespace

void VessikAppDelegate::initSettings() {
    // The window's background tiles "bg.png". The group boxes get a plain,
    // nearly opaque panel of their own, so their text never sits on the pattern.
    if (settingsWindow_ != nullptr) {
        const QString picture = bundle_.pathForResource(QStringLiteral("bg"), QStringLiteral("png"));
        const QPixmap tile(picture);
        if (tile.isNull()) {
            log(QStringLiteral("Cannot load the settings window background '%1'")
                    .arg(bundle_.resourcesPath() + QStringLiteral("/bg.png")));
        } else {
            QPalette palette = settingsWindow_->palette();
            palette.setBrush(QPalette::Window, QBrush(tile));
            settingsWindow_->setPalette(palette);
            settingsWindow_->setAutoFillBackground(true);
            QColor panel = QApplication::palette().color(QPalette::Window);
            panel.setAlpha(235);
            const QList<QGroupBox*> groups = settingsWindow_->findChildren<QGroupBox*>();
            for (QGroupBox* group : groups) {
                QPalette groupPalette = group->palette();
                groupPalette.setBrush(QPalette::Window, panel);
                group->setPalette(groupPalette);
                group->setAutoFillBackground(true);
            }
        }
    }

    // The key and language choosers only offer their lists.
    for (QComboBox* box : {languageDropdown_, lockDropdown_, offDropdown_}) {
        if (box != nullptr) {
            box->setEditable(false);
        }
    }

    readPlist(kSettingsResource);
    const PropertyList& p = properties_;

    // The old password is asked for only when one is stored (an empty one too).
    if (oldPassTextbox_ != nullptr) {
        const bool stored = p.contains(SettingsKeys::Password);
        oldPassTextbox_->setEnabled(stored);
        oldPassTextbox_->setPlaceholderText(stored ? QString() : tr("No password set yet"));
    }

    // Typed passwords never outlive a refill.
    clearText(oldPassTextbox_);
    clearText(newPassTextbox_);
    clearText(confirmPassTextbox_);

    // Check boxes and the picture choice are always set; a text control keeps its
    // text when its key is missing.
    showChoice(languageDropdown_, p, SettingsKeys::Language);
    showState(lockShiftCheckbox_, p.integerValue(SettingsKeys::LockHotKey.shift));
    showState(lockControlCheckbox_, p.integerValue(SettingsKeys::LockHotKey.control));
    showState(lockAltCheckbox_, p.integerValue(SettingsKeys::LockHotKey.alt));
    showChoice(lockDropdown_, p, SettingsKeys::LockHotKey.func);
    showState(offShiftCheckbox_, p.integerValue(SettingsKeys::OffHotKey.shift));
    showState(offControlCheckbox_, p.integerValue(SettingsKeys::OffHotKey.control));
    showState(offAltCheckbox_, p.integerValue(SettingsKeys::OffHotKey.alt));
    showChoice(offDropdown_, p, SettingsKeys::OffHotKey.func);
    showText(inactivityTextbox_, p, SettingsKeys::InactivityTime);
    showLockBindingHint();
    if (errorLabel_ != nullptr && !bundle_.resourcesWritable()) {
        showError(errorLabel_, settingsWindow_, sharedCopyMessage());
    }
    if (inactivityHintLabel_ != nullptr && platform_.idle && !platform_.idle->idleNanoseconds() &&
        !inactivityHintLabel_->property("idleUnavailable").toBool()) {
        // Said once: the window is filled again at every opening.
        inactivityHintLabel_->setProperty("idleUnavailable", true);
        inactivityHintLabel_->setText(inactivityHintLabel_->text() + u'\n' +
                                      tr("The idle time cannot be read here: only the hotkey, vessik --lock and "
                                         "the session lock."));
    }
    if (imageRadiobutton_ != nullptr) {
        const int row = p.integerValue(SettingsKeys::ImageType) == 1 ? 1 : 0;
        if (QAbstractButton* button = imageRadiobutton_->button(row)) {
            button->setChecked(true);
        }
    }
    showText(imagePathTextbox_, p, SettingsKeys::ImagePath);
    showText(retriesTimeTextbox_, p, SettingsKeys::RetryTime);
    showText(retriesCountTextbox_, p, SettingsKeys::RetryCount);

    if (errorLabel_ != nullptr) {
        errorLabel_->clear();
    }
}

void VessikAppDelegate::saveButton(QObject* /*sender*/) {
    readPlist(kSettingsResource);
    const QString password = SettingsKeys::Password;
    const bool passwordStored = properties_.contains(password);

    try {
        PropertyList d = PropertyList::dictionary();
        d.setString(SettingsKeys::Language, languageDropdown_->currentText());
        d.setInteger(SettingsKeys::LockHotKey.shift, stateOf(lockShiftCheckbox_));
        d.setInteger(SettingsKeys::LockHotKey.control, stateOf(lockControlCheckbox_));
        d.setInteger(SettingsKeys::LockHotKey.alt, stateOf(lockAltCheckbox_));
        d.setString(SettingsKeys::LockHotKey.func, lockDropdown_->currentText());
        d.setInteger(SettingsKeys::OffHotKey.shift, stateOf(offShiftCheckbox_));
        d.setInteger(SettingsKeys::OffHotKey.control, stateOf(offControlCheckbox_));
        d.setInteger(SettingsKeys::OffHotKey.alt, stateOf(offAltCheckbox_));
        d.setString(SettingsKeys::OffHotKey.func, offDropdown_->currentText());

        // A change needs both new fields; the old password is checked first, and
        // only when one is stored. A stored value that is not text matches nothing.
        const QString newPassword = newPassTextbox_->text();
        const QString confirmation = confirmPassTextbox_->text();
        if (!newPassword.isEmpty() && !confirmation.isEmpty()) {
            if (passwordStored && oldPassTextbox_->text() != properties_.stringValue(password)) {
                throw NamedError(QStringLiteral("Incorrect password"));
            }
            if (newPassword != confirmation) {
                throw NamedError(QStringLiteral("New passwords don't match"));
            }
            d.setString(password, confirmation);
        } else if (passwordStored) {
            d.setValueFrom(password, properties_, password);
        }

        d.setInteger(SettingsKeys::InactivityTime, integerOf(inactivityTextbox_));
        d.setInteger(SettingsKeys::ImageType, imageRadiobutton_->checkedId());
        d.setString(SettingsKeys::ImagePath, imagePathTextbox_->text());
        d.setInteger(SettingsKeys::RetryTime, integerOf(retriesTimeTextbox_));
        d.setInteger(SettingsKeys::RetryCount, integerOf(retriesCountTextbox_));
        d.setInteger(SettingsKeys::RetryLeft, integerOf(retriesCountTextbox_));

        // A save that did not reach the file must not look like one that did:
        // the window stays open with the form as typed (writePlist logged why).
        if (!writePlist(d, kSettingsResource)) {
            throw NamedError(bundle_.resourcesWritable()
                                 ? tr("Could not save the settings file, so nothing was changed. "
                                      "The system log (journalctl -t Vessik) says why.")
                                 : sharedCopyMessage());
        }
        initHotKeys();
        settingsWindow_->hide();
        // The window is closed: no typed password stays in it.
        clearText(oldPassTextbox_);
        clearText(newPassTextbox_);
        clearText(confirmPassTextbox_);
    } catch (const NamedError& error) {
        showError(errorLabel_, settingsWindow_, error.name());
    }
}

void VessikAppDelegate::cancelButton(QObject* /*sender*/) {
    if (settingsWindow_ != nullptr) {
        settingsWindow_->hide();
    }
    clearText(oldPassTextbox_);
    clearText(newPassTextbox_);
    clearText(confirmPassTextbox_);
}

void VessikAppDelegate::browseButton(QObject* /*sender*/) {
    QFileDialog dialog(settingsWindow_, tr("Choose a lock screen picture"));
    dialog.setObjectName(QStringLiteral("pictureDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(tr("Pictures (*.jpg *.gif *.png *.bmp)"));
    const QString current = imagePathTextbox_->text();
    dialog.setDirectory(startDirectory(current));
    if (!current.isEmpty() && QFileInfo(current).isFile()) {
        dialog.selectFile(current);
    }

    const int result = fileDialogRunner_ ? fileDialogRunner_(dialog) : dialog.exec();
    if (result != QDialog::Accepted) {
        return;
    }
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.size() != 1) {
        return;
    }
    if (!isPictureFile(chosen.first())) {
        showError(errorLabel_, settingsWindow_, tr("Choose a picture file ending in .jpg, .gif, .png or .bmp."));
        return;
    }
    imagePathTextbox_->setText(chosen.first());
}
