import QtQuick
import QtQuick.Controls.Fusion

// A menu command. Its key equivalent acts wherever the keyboard focus is in the window, and
// whether its menu is open or not, as long as the command is enabled.
Action {
    id: root

    /// The key sequence, "Ctrl+R" and so on; Qt reads Ctrl as Command on macOS.
    property string keys
    /// The sequence as the desktop writes it.
    readonly property string keysText: keyEquivalent.nativeText

    /// What the command does. It runs once the menu that chose it has closed, so that a
    /// confirmation or a panel it opens is not drawn under the menu.
    signal perform()

    onTriggered: Qt.callLater(root.perform)

    readonly property Shortcut keyEquivalent: Shortcut {
        sequence: root.keys
        context: Qt.WindowShortcut
        enabled: root.enabled && root.keys !== ""
        onActivated: root.trigger()
    }
}
