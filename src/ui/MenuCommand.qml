pragma ComponentBehavior: Bound
import QtQuick.Layouts
import QtQuick.Controls.Fusion

// A menu item for a Command: its title, with the key equivalent at the trailing edge.
MenuItem {
    id: root

    required property Command command

    action: command
    // "commandRecord" is shown by "menuRecord".
    objectName: "menu" + command.objectName.replace(/^command/, "")

    contentItem: RowLayout {
        spacing: 24
        opacity: root.enabled ? 1 : 0.4

        Label {
            Layout.fillWidth: true
            text: root.text
            font: root.font
            color: root.highlighted ? root.palette.highlightedText : root.palette.text
        }
        Label {
            visible: text !== ""
            text: root.command.keysText
            font: root.font
            color: root.highlighted ? root.palette.highlightedText : root.palette.text
            opacity: 0.7
        }
    }
}
