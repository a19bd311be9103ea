pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Fusion
import Quorbel

// The input that takes are recorded from, and the way to the desktop's sound settings.
RowLayout {
    id: root

    objectName: "microphonePanel"
    spacing: 10

    Icon {
        name: "mic"
        color: Theme.accent
        size: 16
    }

    ColumnLayout {
        spacing: 3

        Label {
            objectName: "inputName"
            text: RecorderModel.inputName
            textFormat: Text.PlainText
            font.pixelSize: 12
            font.weight: Font.Medium
            color: Theme.ink
        }
        Label {
            text: Theme.macOS ? "Uses the input selected in Mac Sound settings"
                              : "Uses the input selected in your sound settings"
            font.pixelSize: 10
            color: Theme.secondary
        }
    }

    Item {
        Layout.fillWidth: true
    }

    ActionButton {
        objectName: "changeInputButton"
        text: "Change input…"
        font.pixelSize: Theme.caption
        enabled: !RecorderModel.busy
        onClicked: RecorderModel.soundSettings()
    }
}
