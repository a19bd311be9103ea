pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Fusion
import QtQuick.Templates as T
import Quorbel

// The one alert of the program: shown whenever the controller holds an error, and clearing it
// when closed by any means.
Dialog {
    id: root

    objectName: "errorAlert"
    anchors.centerIn: T.Overlay.overlay
    width: 420
    modal: true
    closePolicy: Popup.CloseOnEscape
    title: "Something needs attention"
    padding: 22
    topPadding: 8
    bottomPadding: 18

    T.Overlay.modal: Rectangle {
        color: Qt.rgba(0.14, 0.23, 0.23, 0.18)
    }

    background: Rectangle {
        radius: 12
        color: "white"
        border.width: 1
        border.color: Qt.rgba(0.14, 0.23, 0.23, 0.16)
    }

    header: Label {
        text: root.title
        textFormat: Text.PlainText
        topPadding: 20
        leftPadding: 22
        rightPadding: 22
        font.pixelSize: 15
        font.weight: Font.DemiBold
        color: Theme.ink
        wrapMode: Text.Wrap
    }

    Label {
        objectName: "errorMessage"
        width: root.availableWidth
        text: RecorderModel.error
        textFormat: Text.PlainText
        wrapMode: Text.Wrap
        color: Theme.ink
    }

    footer: Item {
        implicitHeight: buttons.implicitHeight + 20

        RowLayout {
            id: buttons

            anchors.right: parent.right
            anchors.rightMargin: 22
            anchors.top: parent.top
            spacing: 8

            ActionButton {
                objectName: "alertMicrophoneSettings"
                text: "Microphone Settings"
                // Closed first: closing clears the error, which would erase a failure to open.
                onClicked: {
                    root.close()
                    RecorderModel.microphoneSettings()
                }
            }
            ActionButton {
                objectName: "alertOk"
                text: "OK"
                prominent: true
                labelMinimumWidth: 48
                onClicked: root.close()
            }
        }
    }

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
