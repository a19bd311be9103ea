pragma ComponentBehavior: Bound
import QtQuick
import Quorbel

// The one alert of the program: shown whenever the controller holds an error, and clearing it
// when closed by any means.
AlertDialog {
    id: root

    objectName: "errorAlert"
    title: "Something needs attention"
    messageLabel.objectName: "errorMessage"
    message: RecorderModel.error

    buttons: [
        ActionButton {
            objectName: "alertMicrophoneSettings"
            text: "Microphone Settings"
            // Closed first: closing clears the error, which would erase a failure to open.
            onClicked: {
                root.close()
                RecorderModel.microphoneSettings()
            }
        },
        ActionButton {
            objectName: "alertOk"
            text: "OK"
            prominent: true
            labelMinimumWidth: 48
            onClicked: root.close()
        }
    ]

    // Return reads as OK, as in any alert with one default button.
    onOpened: contentItem.forceActiveFocus()
    contentItem.Keys.onReturnPressed: root.close()
    contentItem.Keys.onEnterPressed: root.close()
    onClosed: RecorderModel.error = ""

    Connections {
        target: RecorderModel

        function onErrorChanged() {
            if (RecorderModel.error !== "")
                root.open()
        }
    }

    Component.onCompleted: if (RecorderModel.error !== "") open()
}
