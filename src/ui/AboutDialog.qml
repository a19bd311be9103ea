pragma ComponentBehavior: Bound
import QtQuick
import Quorbel

// Which Quorbel this is: its version, what it does, its license and the libraries it runs on.
AlertDialog {
    id: root

    objectName: "aboutDialog"
    title: "About Quorbel"
    messageLabel.objectName: "aboutText"
    message: "Version " + App.about.version + "\n\n" + App.about.description
             + "\n\nLicense: " + App.about.license
             + "\n\nRuns on " + App.about.libraries.join(", ") + "."

    buttons: [
        ActionButton {
            objectName: "aboutOk"
            text: "OK"
            prominent: true
            labelMinimumWidth: 48
            onClicked: root.close()
        }
    ]

    onOpened: contentItem.forceActiveFocus()
    contentItem.Keys.onReturnPressed: root.close()
    contentItem.Keys.onEnterPressed: root.close()
}
