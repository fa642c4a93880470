#include "platform/linux/DesktopPreferencePane.h"

#include <QtCore/QProcess>
#include <QtCore/QStandardPaths>

std::vector<DesktopPreferencePane::Program> DesktopPreferencePane::keyboardShortcutPrograms() {
    return {
        {QStringLiteral("gnome-control-center"), {QStringLiteral("keyboard")}},
        {QStringLiteral("systemsettings"), {QStringLiteral("kcm_keys")}},
        {QStringLiteral("systemsettings5"), {QStringLiteral("kcm_keys")}},
        {QStringLiteral("xfce4-keyboard-settings"), {}},
        {QStringLiteral("mate-keybinding-properties"), {}},
        {QStringLiteral("cinnamon-settings"), {QStringLiteral("keyboard")}},
        {QStringLiteral("lxqt-config-globalkeyshortcuts"), {}},
    };
}

bool DesktopPreferencePane::openKeyboardPreferences() {
    for (const Program& program : programs_) {
        const QString path = QStandardPaths::findExecutable(program.name);
        if (!path.isEmpty() && QProcess::startDetached(path, program.arguments)) {
            return true;
        }
    }
    return false;
}
