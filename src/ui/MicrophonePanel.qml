pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Fusion
import Quorbel

// The input that takes are recorded from, the way to the desktop's sound settings, and the
// microphone check with its verdict.
ColumnLayout {
    id: root

    objectName: "microphonePanel"
    spacing: 6

    RowLayout {
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

        LevelMeter {
            objectName: "checkLevelBar"
            visible: RecorderModel.checkingMicrophone
            level: RecorderModel.level
            loud: RecorderModel.peak > -0.5
        }
        ActionButton {
            objectName: "checkMicrophoneButton"
            text: RecorderModel.checkingMicrophone ? "Stop check" : "Check microphone…"
            tip: "Read a sentence aloud for a few seconds; Quorbel judges the level and the room."
            font.pixelSize: Theme.caption
            enabled: RecorderModel.checkingMicrophone || !RecorderModel.busy
            onClicked: RecorderModel.toggleMicrophoneCheck()
        }
        ActionButton {
            objectName: "changeInputButton"
            text: "Change input…"
            font.pixelSize: Theme.caption
            enabled: !RecorderModel.busy
            onClicked: RecorderModel.soundSettings()
        }
    }

    Label {
        objectName: "microphoneVerdict"
        Layout.fillWidth: true
        visible: text !== ""
        text: RecorderModel.checkingMicrophone ? "Listening… read a sentence aloud."
                                               : RecorderModel.microphoneVerdict
        textFormat: Text.PlainText
        font.pixelSize: 12
        color: Theme.ink
        wrapMode: Text.Wrap
    }
}
