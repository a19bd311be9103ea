pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Fusion
import Quorbel

// Every key of the menus' commands, menu by menu. The rows are read from the menus themselves
// when the sheet opens, so it lists exactly the keys the menus show.
AlertDialog {
    id: root

    /// The menus whose commands' keys are listed, in order.
    required property var menus
    /// One row per command with keys: its menu's title on the menu's first row, else "".
    property var rows: []

    objectName: "shortcutsSheet"
    title: "Keyboard Shortcuts"
    messageLabel.visible: false
    contentHeight: table.implicitHeight

    buttons: [
        ActionButton {
            objectName: "shortcutsOk"
            text: "OK"
            prominent: true
            labelMinimumWidth: 48
            onClicked: root.close()
        }
    ]

    onAboutToShow: {
        const found = []
        for (let m = 0; m < menus.length; ++m) {
            const menu = menus[m]
            let heading = menu.title.replace("&", "")
            for (let i = 0; i < menu.count; ++i) {
                const command = menu.itemAt(i).command
                if (!command || command.keys === "")
                    continue
                found.push({ heading: heading, text: command.text, keys: command.keysText })
                heading = ""
            }
        }
        rows = found
    }
    onOpened: contentItem.forceActiveFocus()
    contentItem.Keys.onReturnPressed: root.close()
    contentItem.Keys.onEnterPressed: root.close()

    ColumnLayout {
        id: table

        width: root.availableWidth
        spacing: 6

        Repeater {
            model: root.rows

            ColumnLayout {
                id: row

                required property var modelData

                Layout.fillWidth: true
                spacing: 6

                Label {
                    visible: row.modelData.heading !== ""
                    Layout.topMargin: 6
                    text: row.modelData.heading
                    textFormat: Text.PlainText
                    font.weight: Font.DemiBold
                    color: Theme.secondary
                }
                RowLayout {
                    Layout.fillWidth: true
                    spacing: 24

                    Label {
                        Layout.fillWidth: true
                        text: row.modelData.text
                        textFormat: Text.PlainText
                        elide: Text.ElideRight
                        color: Theme.ink
                    }
                    Label {
                        objectName: "shortcutKeys"
                        text: row.modelData.keys
                        textFormat: Text.PlainText
                        font.family: Theme.mono
                        color: Theme.ink
                    }
                }
            }
        }
    }
}
