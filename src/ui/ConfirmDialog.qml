pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Controls.Fusion
import Quorbel

// Asks before what cannot be undone (deleting a take, starting over, quitting without saving),
// while the controller waits for the answer. Cancel comes first and is the default: Return,
// Enter and Escape cancel, and the action takes no focus, so only a click chooses it.
AlertDialog {
    id: root

    /// The action's button was clicked.
    property bool acted: false

    objectName: "confirmDialog"
    title: App.confirmation.title
    titleLabel.objectName: "confirmTitle"
    messageLabel.objectName: "confirmDetail"
    message: App.confirmation.detail

    buttons: [
        ActionButton {
            objectName: "confirmCancel"
            text: "Cancel"
            prominent: true
            onClicked: root.close()
        },
        ActionButton {
            objectName: "confirmAction"
            text: App.confirmation.action
            foreground: Theme.red
            focusPolicy: Qt.NoFocus
            onClicked: {
                root.acted = true
                root.close()
            }
        }
    ]

    onOpened: {
        acted = false
        contentItem.forceActiveFocus()
    }
    onClosed: App.confirmation.answer(acted)

    // Wherever the focus stands in the dialog, Cancel included.
    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: root.opened
        onActivated: root.close()
    }

    Connections {
        target: App.confirmation

        function onQuestionChanged() {
            if (App.confirmation.asking)
                root.open()
            else
                root.close()
        }
    }
}
